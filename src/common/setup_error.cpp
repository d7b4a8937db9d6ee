#include "common/setup_error.h"

#include <cstdlib>

namespace nuvo {

std::string_view setup_error_message(SetupErrorKind kind) {
  switch (kind) {
    case SetupErrorKind::DownloadCancelled:
      return "Загрузка отменена. Её можно продолжить позже.";
    case SetupErrorKind::DownloadDirBusy:
      return "Другой установщик Nuvo уже использует этот каталог загрузки.";
    case SetupErrorKind::ChannelMisconfigured:
      return "Канал установки Nuvo настроен неверно.";
    case SetupErrorKind::ManifestUnavailable:
      return "Не удалось прочитать сведения о последней версии Nuvo.";
    case SetupErrorKind::InvalidDownloadUrl:
      return "Канал вернул недопустимый адрес загрузки. Установка запрещена.";
    case SetupErrorKind::DownloadFailed:
      return "Не удалось скачать Nuvo. Проверьте подключение и повторите попытку.";
    case SetupErrorKind::InvalidPackageSize:
      return "Размер установщика некорректен или превышает 512 МиБ.";
    case SetupErrorKind::SignatureInvalid:
      return "Подпись установщика не прошла проверку. Установка запрещена.";
    case SetupErrorKind::SignedVersionMismatch:
      return "Подписанная версия отличается от версии канала. Установка запрещена.";
    case SetupErrorKind::StorageFailed:
      return "Не удалось сохранить загрузку. Проверьте свободное место и права на каталог.";
  }
  std::abort();
}

}  // namespace nuvo

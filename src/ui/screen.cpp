// The screen states of the setup window: which texts, buttons and progress
// each reaction of the window and each worker event leads to.
#include "ui/screen.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <initializer_list>
#include <utility>
#include <variant>

#include "cli/arguments.h"

namespace nuvo {
namespace {

constexpr std::string_view kCheckingHeading = "Проверяем доступную версию…";
constexpr std::string_view kCheckingDetail =
    "Соединяемся с GitHub Releases. При обрыве загрузку можно повторить: уже скачанная часть "
    "остаётся в кэше.";
constexpr std::string_view kDownloadingHeading = "Скачиваем Nuvo…";
constexpr std::string_view kVerifyingHeading = "Проверяем цифровую подпись…";
constexpr std::string_view kVerifyingDetail =
    "Проверяем подпись издателя и подписанную версию. Непроверенный файл не будет запущен.";
constexpr std::string_view kPackageReadyHeading = "Пакет скачан и проверен";
constexpr std::string_view kLaunchingHeading = "Открываем мастер установки…";
constexpr std::string_view kStoppingHeading = "Останавливаем загрузку…";
constexpr std::string_view kWizardOpenHeading = "Завершите открытый мастер установки";
constexpr std::string_view kInstalledHeading = "Мастер установки завершён";
constexpr std::string_view kInstalledDetail =
    "Установщик сообщил об успешном завершении. Nuvo можно запустить через меню «Пуск». "
    "Загрузчик можно закрыть.";
constexpr std::string_view kCancelledHeading = "Установка отменена";
constexpr std::string_view kCancelledDetail =
    "Загруженные данные сохранены. Нажмите «Повторить», чтобы продолжить; проверенный пакет "
    "повторно скачивать не потребуется.";
constexpr std::string_view kFailedHeading = "Не удалось завершить установку";
constexpr std::string_view kInterruptedDetail =
    "Загрузка неожиданно прервалась. Можно повторить попытку.";
constexpr std::string_view kDownloadSuffix =
    " МБ. Загрузка сохраняется для продолжения после обрыва.";

constexpr std::uint32_t kFullProgress = 1000;

ButtonFace face(std::string_view text, bool enabled) { return {std::string(text), enabled}; }

std::string_view stage_heading(Stage stage) {
  switch (stage) {
    case Stage::Resolving:
      return kCheckingHeading;
    case Stage::Downloading:
      return kDownloadingHeading;
    case Stage::Verifying:
      return kVerifyingHeading;
    case Stage::Ready:
      return kPackageReadyHeading;
  }
  return {};
}

std::string concat(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view part : parts) out += part;
  return out;
}

// Per mille of the total, without overflow for any pair of 64-bit sizes.
std::uint32_t per_mille(std::uint64_t downloaded, std::uint64_t total) {
  __extension__ using Wide = unsigned __int128;
  const Wide value = Wide{downloaded} * kFullProgress / std::max<std::uint64_t>(total, 1);
  return static_cast<std::uint32_t>(std::min<Wide>(value, kFullProgress));
}

// Checking and Resolving read the same; every other pair of states differs.
bool same_heading(ScreenState a, ScreenState b) {
  const auto checking = [](ScreenState s) {
    return s == ScreenState::Checking || s == ScreenState::Resolving;
  };
  return a == b || (checking(a) && checking(b));
}

}  // namespace

StateSignals state_signals(ScreenState state, std::optional<std::uint32_t> position) {
  const TaskbarProgress running = position ? TaskbarProgress{TaskbarMode::Normal, *position}
                                           : TaskbarProgress{TaskbarMode::Indeterminate, 0};
  // A stopped run shows where it stopped; a full bar when it got nowhere,
  // so that the colour can be seen at all.
  const std::uint32_t stopped_at = position.value_or(0) > 0 ? *position : kFullProgress;
  switch (state) {
    case ScreenState::Ready:
      return {};
    case ScreenState::Checking:
    case ScreenState::Resolving:
    case ScreenState::Downloading:
    case ScreenState::Verifying:
    case ScreenState::PackageReady:
    case ScreenState::Launching:
    case ScreenState::WizardOpen:
      return {running, LiveSetting::Polite, false};
    case ScreenState::Stopping:
      return {{TaskbarMode::Paused, stopped_at}, LiveSetting::Polite, false};
    case ScreenState::Installed:
      return {{}, LiveSetting::Polite, true};
    case ScreenState::Cancelled:
      return {{TaskbarMode::Paused, stopped_at}, LiveSetting::Polite, true};
    case ScreenState::Failed:
    case ScreenState::Interrupted:
      return {{TaskbarMode::Error, stopped_at}, LiveSetting::Assertive, true};
  }
  return {};
}

std::string initial_version_line() { return concat({"Загрузчик ", BOOTSTRAP_VERSION}); }

std::string format_megabytes(std::uint64_t bytes) {
  // The amount in MiB with one decimal, rounded as the exact value of the
  // double bytes × 2^-20 would be (to nearest, a tie to the even digit), but
  // in integers, so that no floating-point formatting enters the program.
  __extension__ using Wide = unsigned __int128;
  Wide value = bytes;
  // A double keeps 53 significant bits: above that, round to them first.
  if (const int extra = static_cast<int>(std::bit_width(bytes)) - 53; extra > 0) {
    const std::uint64_t half = std::uint64_t{1} << (extra - 1);
    const std::uint64_t rest = bytes & ((half << 1) - 1);
    std::uint64_t kept = bytes >> extra;
    if (rest > half || (rest == half && (kept & 1) != 0)) ++kept;
    value = Wide{kept} << extra;
  }
  constexpr Wide kHalf = Wide{1} << 19;  // half of a tenth, in units of 2^-20 tenths
  const Wide scaled = value * 10;
  Wide tenths = scaled >> 20;
  const Wide rest = scaled & ((kHalf << 1) - 1);
  if (rest > kHalf || (rest == kHalf && (tenths & 1) != 0)) ++tenths;
  std::string out = std::to_string(static_cast<std::uint64_t>(tenths / 10));
  out += '.';
  out += static_cast<char>('0' + static_cast<int>(tenths % 10));
  return out;
}

SetupScreen::SetupScreen(ScreenView& view, RunStarter start)
    : view_(view), start_(std::move(start)) {}

void SetupScreen::start_run() {
  if (run_) return;  // a second run would orphan the first one's worker
  close_requested_ = false;
  stopping_ = false;
  if (view_.has_controls()) {
    view_.set_text(ScreenText::StatusHeading, kCheckingHeading);
    view_.set_text(ScreenText::DetailText, kCheckingDetail);
    view_.set_buttons(face("Загрузка…", false), face("Отмена", true));
    view_.set_progress(0);
  }
  position_.reset();
  enter(ScreenState::Checking);
  Result<RunHandle, std::string> started = start_();
  if (!started) {  // no thread: the run ends before it began, with the starter's text
    end_run(InstallResult{std::move(started).error()});
    return;
  }
  run_ = std::move(started).value();
}

void SetupScreen::request_stop(bool close) {
  if (!run_) {
    view_.destroy();
    return;
  }
  if (close) close_requested_ = true;
  if (!request_cancel(*run_->flags)) {
    if (view_.has_controls()) view_.set_text(ScreenText::StatusHeading, kWizardOpenHeading);
    enter(ScreenState::WizardOpen);
    return;
  }
  stopping_ = true;
  if (view_.has_controls()) {
    view_.set_text(ScreenText::StatusHeading, kStoppingHeading);
    view_.set_buttons(face("Загрузка…", false), face("Отмена…", false));
  }
  enter(ScreenState::Stopping);
}

void SetupScreen::poll_events() {
  std::optional<WorkerEvent> event;
  while (run_) {
    switch (run_->events.try_receive(event)) {
      case Receive::kEmpty:
        return;
      case Receive::kDisconnected:
        end_run(std::nullopt);
        return;
      case Receive::kValue:
        break;
    }
    if (const auto* progress = std::get_if<DownloadProgress>(&*event)) {
      show_progress(*progress);
      enter_stage(*progress);
    } else if (const auto* launching = std::get_if<LaunchingEvent>(&*event)) {
      if (view_.has_controls()) {
        view_.set_text(ScreenText::StatusHeading, kLaunchingHeading);
        view_.set_text(ScreenText::DetailText,
                       concat({"Nuvo ", launching->version,
                               ": подпись проверена. Подтвердите запрос Windows на изменение "
                               "устройства и пройдите шаги мастера. Загрузчик дождётся его "
                               "завершения."}));
        view_.set_buttons(face("Установка…", false), face(kCloseButton, false));
      }
      enter(ScreenState::Launching);
    } else {
      end_run(std::get<FinishedEvent>(*event).result);  // later events go with the queue
    }
  }
}

void SetupScreen::show_progress(const DownloadProgress& progress) {
  if (stopping_ || !view_.has_controls()) return;
  if (progress.version) {
    view_.set_text(ScreenText::VersionLine,
                   concat({"Nuvo ", *progress.version, " · загрузчик ", BOOTSTRAP_VERSION}));
  }
  view_.set_text(ScreenText::StatusHeading, stage_heading(progress.stage));
  if (progress.stage == Stage::Verifying) {
    view_.set_progress(kFullProgress);
    view_.set_text(ScreenText::DetailText, kVerifyingDetail);
  } else if (progress.stage == Stage::Downloading) {
    const std::string downloaded = format_megabytes(progress.downloaded);
    if (!progress.total) {
      view_.set_text(ScreenText::DetailText, concat({"Скачано ", downloaded, kDownloadSuffix}));
      return;
    }
    view_.set_progress(per_mille(progress.downloaded, *progress.total));
    view_.set_text(ScreenText::DetailText,
                   concat({"Скачано ", downloaded, " из ", format_megabytes(*progress.total),
                           kDownloadSuffix}));
  }
}

void SetupScreen::enter_stage(const DownloadProgress& progress) {
  if (stopping_ || !view_.has_controls()) return;  // as show_progress: not shown
  if (progress.stage == Stage::Verifying) position_ = kFullProgress;
  if (progress.stage == Stage::Downloading && progress.total)
    position_ = per_mille(progress.downloaded, *progress.total);
  constexpr ScreenState kStageStates[] = {ScreenState::Resolving, ScreenState::Downloading,
                                          ScreenState::Verifying, ScreenState::PackageReady};
  enter(kStageStates[static_cast<std::size_t>(progress.stage)]);
}

void SetupScreen::end_run(const std::optional<InstallResult>& result) {
  run_.reset();
  if (close_requested_) {
    view_.destroy();
    return;
  }
  if (!view_.has_controls()) return;
  const ButtonFace retry_button = face("Повторить", true);
  const ButtonFace close_button = face(kCloseButton, true);
  if (!result) {
    view_.set_text(ScreenText::StatusHeading, kFailedHeading);
    view_.set_text(ScreenText::DetailText, kInterruptedDetail);
    view_.set_buttons(retry_button, close_button);
    enter(ScreenState::Interrupted);
  } else if (const auto* text = std::get_if<std::string>(&*result)) {
    view_.set_text(ScreenText::StatusHeading, kFailedHeading);
    view_.set_text(ScreenText::DetailText, *text);
    view_.set_buttons(retry_button, close_button);
    enter(ScreenState::Failed);
  } else if (std::get<InstallOutcome>(*result) == InstallOutcome::Completed) {
    view_.set_text(ScreenText::StatusHeading, kInstalledHeading);
    view_.set_text(ScreenText::DetailText, kInstalledDetail);
    view_.set_buttons(face("Установлено", false), close_button);
    enter(ScreenState::Installed);
  } else {
    view_.set_text(ScreenText::StatusHeading, kCancelledHeading);
    view_.set_text(ScreenText::DetailText, kCancelledDetail);
    view_.set_buttons(retry_button, close_button);
    enter(ScreenState::Cancelled);
  }
}

void SetupScreen::enter(ScreenState state) {
  const bool heading_changed = !same_heading(state, state_);
  state_ = state;
  if (view_.has_controls()) view_.show_state(state_signals(state, position_), heading_changed);
}

}  // namespace nuvo

// Starts the installer through the shell with the "runas" verb and waits for it.
#include <objbase.h>
#include <oleauto.h>
#include <shellapi.h>

#include "common/utf.h"
#include "platform/com_win32.h"
#include "platform/installer_launcher.h"
#include "platform/win32_support.h"

namespace nuvo {
namespace {

#ifdef _WIN64
static_assert(sizeof(SHELLEXECUTEINFOW) == 112);
#endif
static_assert(kMaskNoCloseProcess == SEE_MASK_NOCLOSEPROCESS && kMaskNoAsync == SEE_MASK_NOASYNC &&
              kMaskFlagNoUi == SEE_MASK_FLAG_NO_UI);

struct ProcessHandleTraits {
  using Native = HANDLE;
  static Native invalid() { return nullptr; }
  static bool is_valid(Native h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(Native h) {
    const DWORD saved = GetLastError();
    CloseHandle(h);
    SetLastError(saved);
  }
};

using ProcessHandle = ScopedHandle<ProcessHandleTraits>;

// Drops error information an earlier call left on the thread, so that what
// describe() finds belongs to the call that just failed.
void forget_error_info() { SetErrorInfo(0, nullptr); }

class ShellInstallerProcess final : public InstallerProcess {
 public:
  explicit ShellInstallerProcess(ProcessHandle process) : process_(std::move(process)) {}

  bool wait() override { return WaitForSingleObject(process_.get(), INFINITE) == WAIT_OBJECT_0; }

  // Called once COM is left: the code's description is the system's.
  Result<std::uint32_t, std::uint32_t> exit_code() override {
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.get(), &code)) return Failure{GetLastError()};
    return static_cast<std::uint32_t>(code);
  }

 private:
  ProcessHandle process_;
};

std::string com_error_description() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.ReleaseAndGetAddressOf()) != S_OK || info == nullptr) return {};
  BSTR text = nullptr;
  std::string out;
  if (SUCCEEDED(info->GetDescription(&text)) && text != nullptr)
    out = win32::narrow(std::wstring_view(text, SysStringLen(text)));
  SysFreeString(text);
  return out;
}

class ShellInstallerLauncher final : public InstallerLauncher {
 public:
  Result<std::string, OsError> canonical_path(const FileHandle& file) override {
    // Asked of the verified file's own handle, held with read-only sharing
    // since the check. An open by name could lead elsewhere by now: it would
    // follow a reparse point set on the file since.
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = GetFinalPathNameByHandleW(win32::to_handle(file.get()), name.data(),
                                                static_cast<DWORD>(name.size()), 0);
      if (n == 0) return Failure{last_os_error()};
      if (n < name.size()) {
        name.resize(n);
        break;
      }
      name.resize(n);  // n is the size needed, terminator included
    }
    auto utf8 = utf16_to_utf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(name.data()), name.size()));
    if (!utf8) return Failure{os_error_from_code(ERROR_NO_UNICODE_TRANSLATION)};
    return std::move(*utf8);
  }

  std::int32_t initialize_com() override {
    forget_error_info();
    return com_.enter(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  }

  void uninitialize_com() override { com_.leave(); }

  ShellLaunch start_elevated(const LaunchRequest& launch_request) override {
    ShellLaunch launch;
    const auto wide_file = win32::widen(launch_request.file);
    const auto wide_directory = win32::widen(launch_request.directory);
    if (!wide_file || !wide_directory) {
      launch.last_error = ERROR_INVALID_NAME;
      return launch;
    }
    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof(request);
    request.fMask = launch_request.mask;
    // The consent prompt comes up in front of its owner; without one, or
    // with one that is not in the foreground, Windows only flashes it on the
    // taskbar. The owner's thread keeps pumping messages while this waits.
    request.hwnd = reinterpret_cast<HWND>(launch_request.owner);
    request.lpVerb = L"runas";
    request.lpFile = wide_file->c_str();
    request.lpDirectory = wide_directory->c_str();
    request.nShow = SW_SHOWNORMAL;
    forget_error_info();
    if (!ShellExecuteExW(&request)) {
      launch.last_error = GetLastError();
      return launch;
    }
    launch.ok = true;
    ProcessHandle process(request.hProcess);
    if (process.valid())
      launch.process = std::make_unique<ShellInstallerProcess>(std::move(process));
    return launch;
  }

  std::string describe(std::uint32_t code) override {
    std::string text;
    if (com_.usable()) text = com_error_description();
    if (!text.empty()) return text;
    text = win32::system_message(code);
    // Not every system knows the HRESULT form of a plain Windows error.
    if (text.empty() && (code >> 16) == 0x8007u) text = win32::system_message(code & 0xFFFFu);
    return text;
  }

 private:
  ComApartment com_;  // entered by initialize_com() for the launch
};

}  // namespace

std::unique_ptr<InstallerLauncher> system_installer_launcher() {
  return std::make_unique<ShellInstallerLauncher>();
}

}  // namespace nuvo

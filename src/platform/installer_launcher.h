// The OS steps of starting the verified installer elevated and waiting for
// it, one call each, so that every decision about their results stays in the
// portable launch logic. Windows error numbers and HRESULTs are passed as
// they are.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/file.h"

namespace nuvo {

// A started installer process; its handle is closed when dropped.
class InstallerProcess {
 public:
  virtual ~InstallerProcess() = default;
  // Waits without a time limit; false when the wait itself failed.
  virtual bool wait() = 0;
  // The exit code, or the thread's last error.
  virtual Result<std::uint32_t, std::uint32_t> exit_code() = 0;
};

// The window that owns the shell's prompts, as an opaque number (an HWND on
// Windows); 0 for none.
using WindowOwner = std::uintptr_t;

// SHELLEXECUTEINFOW's fMask bits of the launch.
inline constexpr std::uint32_t kMaskNoCloseProcess = 0x40;  // SEE_MASK_NOCLOSEPROCESS
inline constexpr std::uint32_t kMaskNoAsync = 0x100;        // SEE_MASK_NOASYNC
inline constexpr std::uint32_t kMaskFlagNoUi = 0x400;       // SEE_MASK_FLAG_NO_UI

// What the shell is asked to start, and how.
struct LaunchRequest {
  std::string file;
  std::string directory;  // the working directory
  WindowOwner owner = 0;  // the consent prompt's owner
  std::uint32_t mask = 0;
};

struct ShellLaunch {
  bool ok = false;
  std::uint32_t last_error = 0;                // when !ok
  std::unique_ptr<InstallerProcess> process;  // null when no usable handle came back
};

class InstallerLauncher {
 public:
  virtual ~InstallerLauncher() = default;
  // The file system's own full name for the open file (on Windows the "\\?\"
  // form), asked of the handle itself: a name looked up again could lead
  // elsewhere by now.
  virtual Result<std::string, OsError> canonical_path(const FileHandle& file) = 0;
  // CoInitializeEx as a single-threaded apartment without OLE1 DDE; the HRESULT.
  virtual std::int32_t initialize_com() = 0;
  virtual void uninitialize_com() = 0;
  // ShellExecuteExW with the verb "runas", no parameters, the request's
  // owner window, working directory and mask, shown normally.
  virtual ShellLaunch start_elevated(const LaunchRequest& request) = 0;
  // What Windows says about `code`: while COM is initialised, the thread's
  // COM error information if the failing call left one; else the system
  // message; empty when neither.
  virtual std::string describe(std::uint32_t code) = 0;
};

std::unique_ptr<InstallerLauncher> system_installer_launcher();

}  // namespace nuvo

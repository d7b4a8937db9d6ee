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
  // ShellExecuteExW with the verb "runas", no parameters, no owner window,
  // `directory` as working directory, shown normally; the launch is finished
  // before it returns.
  virtual ShellLaunch start_elevated(std::string_view file, std::string_view directory) = 0;
  // What Windows says about `code`: the thread's COM error information if
  // the failing call left one, else the system message; empty when neither.
  virtual std::string describe(std::uint32_t code) = 0;
};

std::unique_ptr<InstallerLauncher> system_installer_launcher();

}  // namespace nuvo

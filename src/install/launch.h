// Starts the verified installer with elevation, waits for it and turns its
// exit code into the installation's result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "install/outcome.h"
#include "platform/installer_launcher.h"

namespace nuvo {

inline constexpr std::uint32_t kHresultCancelled = 0x800704C7;  // ERROR_CANCELLED

// A Windows error number as an HRESULT; zero and HRESULTs pass unchanged.
std::uint32_t hresult_from_win32(std::uint32_t error);

// "<description> (0x8007XXXX)", or the code alone when there is no description.
std::string windows_error_text(std::string_view description, std::uint32_t code);

// Where the installer runs: the directory of `path`, or `path` itself.
std::string parent_directory(std::string_view path);

// The launch's mask: the process handle back, the launch finished before the
// call returns, and no message box of the shell's own (every failure is
// reported by the caller).
inline constexpr std::uint32_t kLaunchMask = kMaskNoCloseProcess | kMaskNoAsync | kMaskFlagNoUi;

// Starts the installer that `installer` holds open, as it was verified, by
// the name the file system gives that handle, with `owner` as the consent
// prompt's owner window. Blocks until the installer has ended; no time
// limit, no cancellation.
InstallResult launch_and_wait(const FileHandle& installer, InstallerLauncher& launcher,
                              WindowOwner owner = 0);

}  // namespace nuvo

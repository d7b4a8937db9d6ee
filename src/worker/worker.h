// One installation on its own thread, from the channel to the installer's
// exit code, reporting to the window only through a queue of events.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "common/result.h"
#include "download/package.h"
#include "download/progress.h"
#include "install/outcome.h"
#include "manifest/channel.h"
#include "worker/event_channel.h"

namespace nuvo {

// Who may still stop a run: the window until the worker launches the
// installer, nobody after. Moved only by compare-exchange from Working.
enum class LaunchGate : std::uint8_t {
  Working = 0,          // the package is being prepared
  CancelRequested = 1,  // the window won: the installer will not start
  Launched = 2,         // the worker won: the installer's own result will stand
};

// The two flags of one run, shared by the window and the worker.
struct RunFlags {
  std::atomic<bool> cancel_requested{false};
  std::atomic<LaunchGate> launch_gate{LaunchGate::Working};
};

struct LaunchingEvent {
  std::string version;
};

struct FinishedEvent {
  InstallResult result;
};

// Progress passes the throttle; Launching and Finished always go out, and
// Finished is the last event of every run.
using WorkerEvent = std::variant<DownloadProgress, LaunchingEvent, FinishedEvent>;

struct WorkerContext {
  EventSender<WorkerEvent> events;
  std::shared_ptr<RunFlags> flags;
};

// The window's side of a run.
struct RunHandle {
  EventReceiver<WorkerEvent> events;
  std::shared_ptr<RunFlags> flags;
};

// What a run uses of the machine; the real one unless a test says otherwise.
struct WorkerServices {
  using Clock = std::chrono::steady_clock;
  // The channel client with the cache root in it, or the text to show.
  std::function<Result<ChannelClient, std::string>()> make_client;
  std::function<Result<void, std::string>(std::string_view version)> check_no_downgrade;
  std::function<InstallResult(const VerifiedPackage& package)> launch;
  std::function<Clock::time_point()> now;
  PackageOptions package;
};

// The built-in channel, the default cache root, this machine's registry and
// launcher, the steady clock. With `cache_root`, that folder instead;
// `owner` is the window the consent prompt belongs to (an HWND on Windows;
// 0 for none).
WorkerServices system_worker_services(std::optional<std::string> cache_root = std::nullopt,
                                      std::uintptr_t owner = 0);

inline constexpr std::chrono::milliseconds kProgressInterval{100};

// Lets a progress report through at most every kProgressInterval within a
// stage; a new stage and a complete report always pass.
class ProgressThrottle {
 public:
  explicit ProgressThrottle(std::function<WorkerServices::Clock::time_point()> now)
      : now_(std::move(now)) {}
  bool pass(const DownloadProgress& report);

 private:
  std::function<WorkerServices::Clock::time_point()> now_;
  Stage last_stage_ = Stage::Resolving;
  std::optional<WorkerServices::Clock::time_point> last_;
};

// The thread body: runs to the end whatever the receiver does and sends
// exactly one FinishedEvent, after the package and the client are released.
void run_installation(WorkerContext context, const WorkerServices& services);
void run_installation(WorkerContext context);

// A new queue and new flags, and run_installation on a new detached thread;
// the text to show when no thread could be started.
Result<RunHandle, std::string> start_installation(WorkerServices services);

// Cancel or Close while a run is active: true when the run will end as
// cancelled, false once the installer has been launched.
bool request_cancel(RunFlags& flags);

// Shown when memory runs out during a run.
inline constexpr std::string_view kOutOfMemory =
    "Недостаточно памяти для установки Nuvo. Закройте другие программы и повторите попытку.";
inline constexpr std::string_view kNoWorkerThread =
    "Не удалось начать установку: Windows не запустила рабочий поток. Повторите попытку.";

}  // namespace nuvo

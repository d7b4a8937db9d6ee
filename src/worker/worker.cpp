// The installation run: package, launch gate, downgrade guard, launch, and
// the one Finished event, in that order.
#include "worker/worker.h"

#include <new>
#include <system_error>
#include <thread>


namespace nuvo {
namespace {

// Steps 1 to 7; whatever they hold (the package, then the client) is
// released before this returns.
InstallResult run_steps(WorkerContext& context, const WorkerServices& services) {
  RunFlags& flags = *context.flags;
  auto client = services.make_client();
  if (!client) return std::move(client).error();

  ProgressThrottle throttle(services.now);
  const ProgressSink sink = [&](const DownloadProgress& report) {
    if (throttle.pass(report)) context.events.send(report);
  };
  auto package = prepare_package(*client, flags.cancel_requested, sink, services.package);
  if (!package) return std::string(package.error().message());

  LaunchGate expected = LaunchGate::Working;
  if (!flags.launch_gate.compare_exchange_strong(expected, LaunchGate::Launched))
    return InstallOutcome::Cancelled;
  context.events.send(LaunchingEvent{package->version});

  if (auto guard = services.check_no_downgrade(package->version); !guard)
    return std::move(guard).error();
  return services.launch(*package);
}

}  // namespace

bool ProgressThrottle::pass(const DownloadProgress& report) {
  const auto now = now_();
  if (report.stage == last_stage_ && last_) {
    const bool complete = report.total && report.downloaded == *report.total;
    if (!complete && (now < *last_ || now - *last_ < kProgressInterval)) return false;
  }
  last_stage_ = report.stage;
  last_ = now;
  return true;
}

void run_installation(WorkerContext context, const WorkerServices& services) {
  InstallResult result = InstallOutcome::Cancelled;
  try {
    result = run_steps(context, services);
  } catch (const std::bad_alloc&) {
    result = std::string(kOutOfMemory);
  }
  // A cancel that was accepted wins over whatever the steps made of it.
  if (context.flags->cancel_requested.load()) result = InstallOutcome::Cancelled;
  try {
    context.events.send(FinishedEvent{std::move(result)});
  } catch (const std::bad_alloc&) {
    // Nothing can be said any more; the receiver sees the queue disconnect.
  }
}

Result<RunHandle, std::string> start_installation(WorkerServices services) {
  auto [sender, receiver] = make_event_channel<WorkerEvent>();
  auto flags = std::make_shared<RunFlags>();
  try {
    std::thread(
        [services = std::move(services)](WorkerContext context) {
          run_installation(std::move(context), services);
        },
        WorkerContext{std::move(sender), flags})
        .detach();
  } catch (const std::system_error&) {
    return Failure{std::string(kNoWorkerThread)};
  } catch (const std::bad_alloc&) {
    return Failure{std::string(kNoWorkerThread)};
  }
  return RunHandle{std::move(receiver), std::move(flags)};
}

bool request_cancel(RunFlags& flags) {
  LaunchGate expected = LaunchGate::Working;
  if (flags.launch_gate.compare_exchange_strong(expected, LaunchGate::CancelRequested) ||
      expected == LaunchGate::CancelRequested) {
    flags.cancel_requested.store(true);
    return true;
  }
  return false;
}

}  // namespace nuvo

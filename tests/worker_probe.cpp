// Runs one installation through the real worker, transport, cache, guard and
// launcher, and prints every event it sends as a JSON line, for the
// end-to-end tests and the benchmark. It polls the queue as the window does.
//
//   worker_probe --cache-dir DIR [--deadline-s N] [--poll-ms N]
//                [--cancel-on start|stdin|Resolving|Downloading|Verifying|Launching]
//                [--cancel-after-ms N]
//
// --cancel-on cancels, as the window's Cancel button does, N ms after the
// first such event was seen ("Downloading": one with bytes kept), or after a
// line arrives on standard input ("stdin": the test says when). The last
// line sums up: the result, the time from the cancel to Finished, the
// queue's high-water mark and the run's duration.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <thread>

#include "worker/worker.h"

namespace {

using Clock = std::chrono::steady_clock;

long long ms(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

nlohmann::json to_json(const nuvo::WorkerEvent& event) {
  if (const auto* p = std::get_if<nuvo::DownloadProgress>(&event)) {
    nlohmann::json j = {{"event", "Progress"},
                        {"stage", std::string(nuvo::stage_name(p->stage))},
                        {"downloaded", p->downloaded},
                        {"total", nullptr},
                        {"version", nullptr}};
    if (p->total) j["total"] = *p->total;
    if (p->version) j["version"] = *p->version;
    return j;
  }
  if (const auto* l = std::get_if<nuvo::LaunchingEvent>(&event))
    return {{"event", "Launching"}, {"version", l->version}};
  const auto& result = std::get<nuvo::FinishedEvent>(event).result;
  if (const auto* text = std::get_if<std::string>(&result))
    return {{"event", "Finished"}, {"result", "failed"}, {"text", *text}};
  const bool completed = std::get<nuvo::InstallOutcome>(result) == nuvo::InstallOutcome::Completed;
  return {{"event", "Finished"}, {"result", completed ? "completed" : "cancelled"}};
}

bool triggers(const nlohmann::json& j, std::string_view on) {
  if (j["event"] != "Progress") return j["event"] == on;
  if (j["stage"] != on) return false;
  return on != "Downloading" || j["downloaded"].get<std::uint64_t>() > 0;
}

void print(const nlohmann::json& j) {
  const std::string line = j.dump() + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

int usage() {
  std::fputs(
      "usage: worker_probe --cache-dir DIR [--deadline-s N] [--poll-ms N] "
      "[--cancel-on EVENT] [--cancel-after-ms N]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> cache_dir;
  std::optional<std::string> cancel_on;
  long cancel_after_ms = 0;
  long poll_ms = 100;
  long deadline_s = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--cache-dir") {
      cache_dir = value;
    } else if (name == "--cancel-on") {
      cancel_on = value;
    } else if (name == "--cancel-after-ms") {
      cancel_after_ms = std::strtol(value, nullptr, 10);
    } else if (name == "--poll-ms") {
      poll_ms = std::strtol(value, nullptr, 10);
    } else if (name == "--deadline-s") {
      deadline_s = std::strtol(value, nullptr, 10);
    } else {
      return usage();
    }
  }
  if (!cache_dir || argc % 2 == 0) return usage();

  auto services = nuvo::system_worker_services(cache_dir);
  if (deadline_s > 0) services.package.download_deadline = std::chrono::seconds(deadline_s);
  const auto start = Clock::now();
  auto started = nuvo::start_installation(std::move(services));
  if (!started) {
    print({{"event", "NoThread"}, {"text", started.error()}});
    return 1;
  }
  nuvo::RunHandle run = std::move(started).value();

  std::optional<Clock::time_point> cancel_at;
  if (cancel_on == "start") cancel_at = start + std::chrono::milliseconds(cancel_after_ms);
  // Set once a line has been read; the reader is left blocked at exit when
  // none comes.
  static std::atomic<bool> told{false};
  if (cancel_on == "stdin") {
    std::thread([] {
      char line[64];
      if (std::fgets(line, sizeof line, stdin)) told.store(true);
    }).detach();
  }
  std::optional<Clock::time_point> cancelled_at;
  std::optional<Clock::time_point> finished_at;
  nlohmann::json result;
  for (;;) {
    std::optional<nuvo::WorkerEvent> event;
    const nuvo::Receive r = run.events.try_receive(event);
    if (r == nuvo::Receive::kDisconnected) break;
    if (r == nuvo::Receive::kValue) {
      auto j = to_json(*event);
      j["t_ms"] = ms(Clock::now() - start);
      print(j);
      if (j["event"] == "Finished") {
        finished_at = Clock::now();
        result = j;
      }
      if (cancel_on && !cancel_at && triggers(j, *cancel_on))
        cancel_at = Clock::now() + std::chrono::milliseconds(cancel_after_ms);
      continue;
    }
    if (!cancel_at && told.load()) cancel_at = Clock::now() + std::chrono::milliseconds(cancel_after_ms);
    if (cancel_at && !cancelled_at && Clock::now() >= *cancel_at) {
      cancelled_at = Clock::now();
      print({{"event", "Cancel"},
             {"accepted", nuvo::request_cancel(*run.flags)},
             {"t_ms", ms(*cancelled_at - start)}});
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
  }
  nlohmann::json summary = {{"summary", result.value("result", "none")},
                            {"high_water", run.events.high_water()},
                            {"elapsed_ms", ms(Clock::now() - start)},
                            {"cancel_latency_ms", nullptr}};
  if (cancelled_at && finished_at) summary["cancel_latency_ms"] = ms(*finished_at - *cancelled_at);
  print(summary);
  return 0;
}

// Whole installation runs over the in-memory transport, with the guard and
// the launcher faked: the exact events of each, the launch gate, the cancel
// flag and how fast a cancel ends a run.
#include "worker/worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "download/cache_path.h"
#include "package_fixture.h"
#include "platform/cache_fs.h"

namespace nuvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::answer;

constexpr std::string_view kRefused = "refused by the guard";

std::string describe(const WorkerEvent& event) {
  if (const auto* p = std::get_if<DownloadProgress>(&event)) {
    std::string s = std::string(stage_name(p->stage)) + " " + std::to_string(p->downloaded) + "/" +
                    (p->total ? std::to_string(*p->total) : "-");
    return s + " " + p->version.value_or("-");
  }
  if (const auto* l = std::get_if<LaunchingEvent>(&event)) return "Launching " + l->version;
  const auto& result = std::get<FinishedEvent>(event).result;
  if (const auto* text = std::get_if<std::string>(&result)) return "Finished " + *text;
  return std::get<InstallOutcome>(result) == InstallOutcome::Completed ? "Finished Completed"
                                                                       : "Finished Cancelled";
}

// Takes what is queued now; `done` once the sender has gone.
std::vector<std::string> drain(EventReceiver<WorkerEvent>& rx, bool* done = nullptr) {
  std::vector<std::string> out;
  std::optional<WorkerEvent> event;
  for (;;) {
    const Receive r = rx.try_receive(event);
    if (r == Receive::kValue) {
      out.push_back(describe(*event));
      continue;
    }
    if (done) *done = r == Receive::kDisconnected;
    return out;
  }
}

struct WorkerFixture {
  test::PackageFixture pkg;
  std::shared_ptr<RunFlags> flags = std::make_shared<RunFlags>();
  std::vector<std::string> guarded;
  std::vector<std::string> launched;
  Result<void, std::string> guard_result;
  InstallResult launch_result = InstallOutcome::Completed;
  std::function<void()> during_guard = [] {};
  std::function<void()> during_launch = [] {};
  // The clock stands still, so only a new stage or a complete report passes
  // the throttle; `on_tick` runs at every look at it.
  std::function<void(int)> on_tick = [](int) {};
  int ticks = 0;

  WorkerServices services() {
    WorkerServices s;
    s.make_client = [this]() -> Result<ChannelClient, std::string> {
      return pkg.another_client();
    };
    s.check_no_downgrade = [this](std::string_view version) {
      guarded.emplace_back(version);
      during_guard();
      return guard_result;
    };
    s.launch = [this](const VerifiedPackage& package) {
      launched.emplace_back(package.installer_path);
      during_launch();
      return launch_result;
    };
    s.now = [this] {
      on_tick(++ticks);
      return Clock::time_point{};
    };
    return s;
  }

  // One run on this thread, as the worker thread would do it.
  std::vector<std::string> run() {
    auto [tx, rx] = make_event_channel<WorkerEvent>();
    run_installation(WorkerContext{std::move(tx), flags}, services());
    bool done = false;
    auto events = drain(rx, &done);
    EXPECT_TRUE(done);
    flags = std::make_shared<RunFlags>();  // a new run gets new flags
    return events;
  }

  std::string installer() const {
    return test::read_file(join_path(pkg.release_dir(), "NuvoInstaller.exe"));
  }
};

const std::string kResolving = "Resolving 0/- -";
const std::string kVerifying = "Verifying 200000/200000 1.4.2";
const std::string kReady = "Ready 200000/200000 1.4.2";
const std::string kLaunching = "Launching 1.4.2";
const std::string kCompleted = "Finished Completed";
const std::string kCancelled = "Finished Cancelled";

TEST(Worker, Scenarios) {
  using Events = std::vector<std::string>;
  const struct {
    const char* name;
    bool cached;  // a verified installer from an earlier run is in the cache
    std::function<void(WorkerFixture&)> arrange;
    Events events;
    std::size_t launches;
  } cases[] = {
      {"cancel before the start", false,
       [](WorkerFixture& f) { EXPECT_TRUE(request_cancel(*f.flags)); },
       {kCancelled}, 0},
      {"a size never announced: no Downloading after the first is exempt", false, nullptr,
       {kResolving, "Downloading 0/- 1.4.2", kVerifying, kReady, kLaunching, kCompleted}, 1},
      {"an announced size: the complete report always passes", false,
       [](WorkerFixture& f) {
         f.pkg.fake->routes[f.pkg.installer_url] = {
             answer(200, {{"ETag", test::kEtag}, {"Content-Length", "200000"}}, f.pkg.package)};
       },
       {kResolving, "Downloading 0/- 1.4.2", "Downloading 200000/200000 1.4.2", kVerifying,
        kReady, kLaunching, kCompleted},
       1},
      {"a verified installer in the cache", true, nullptr,
       {kResolving, kVerifying, kReady, kLaunching, kCompleted}, 1},
      {"cancel after Ready, before the gate: the installer does not start", true,
       [](WorkerFixture& f) {
         f.on_tick = [&f](int tick) {
           if (tick == 3) {
             EXPECT_TRUE(request_cancel(*f.flags));  // at Ready
           }
         };
       },
       {kResolving, kVerifying, kReady, kCancelled}, 0},
      {"cancel during the check is not honoured", true,
       [](WorkerFixture& f) {
         f.guard_result = Failure{std::string(kRefused)};
         f.during_guard = [&f] { EXPECT_FALSE(request_cancel(*f.flags)); };
       },
       {kResolving, kVerifying, kReady, kLaunching, "Finished " + std::string(kRefused)}, 0},
      {"cancel while the installer runs is not honoured", true,
       [](WorkerFixture& f) {
         f.during_launch = [&f] { EXPECT_FALSE(request_cancel(*f.flags)); };
       },
       {kResolving, kVerifying, kReady, kLaunching, kCompleted}, 1},
      {"the installer's failure text stands", true,
       [](WorkerFixture& f) { f.launch_result = std::string("exit code 2"); },
       {kResolving, kVerifying, kReady, kLaunching, "Finished exit code 2"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WorkerFixture f;
    if (c.cached) {
      ASSERT_TRUE(prepare_package(f.pkg.client, f.pkg.cancel, nullptr));
    }
    if (c.arrange) c.arrange(f);
    EXPECT_EQ(f.run(), c.events);
    EXPECT_EQ(f.launched.size(), c.launches);
    if (c.launches > 0) {
      EXPECT_EQ(f.launched[0], join_path(f.pkg.release_dir(), "NuvoInstaller.exe"));
    }
    EXPECT_EQ(f.guarded.size(), c.events.size() > 1 && c.events[c.events.size() - 2] == kLaunching
                                    ? 1u
                                    : 0u);
    if (c.events.size() > 1) {
      // Whatever the end, a verified installer stays and the next run takes it without a download.
      EXPECT_EQ(f.installer(), f.pkg.package);
      const auto requests = f.pkg.installer_requests();
      f.launch_result = InstallOutcome::Completed;
      f.guard_result = {};
      f.on_tick = [](int) {};
      f.during_guard = f.during_launch = [] {};
      EXPECT_EQ(f.run(), (Events{kResolving, kVerifying, kReady, kLaunching, kCompleted}));
      EXPECT_EQ(f.pkg.installer_requests(), requests);
    }
  }
}

TEST(Worker, BusyCacheAndAGoneReceiver) {
  WorkerFixture f;
  {
    auto other_run = open_cache(f.pkg.client.cache_dir);
    ASSERT_TRUE(other_run);
    EXPECT_EQ(f.run(), (std::vector<std::string>{
                           "Finished " + std::string(setup_error_message(
                                             SetupErrorKind::DownloadDirBusy))}));
  }
  // Nobody listens: the run still goes to the end and waits for the installer.
  auto [tx, rx] = make_event_channel<WorkerEvent>();
  { auto gone = std::move(rx); }
  EXPECT_FALSE(tx.send(LaunchingEvent{}));
  run_installation(WorkerContext{std::move(tx), f.flags}, f.services());
  EXPECT_EQ(f.launched.size(), 1u);
}

// A window that polls the queue while a run goes on its own thread.
struct ThreadedRun {
  RunHandle handle;
  std::vector<std::string> events;
  bool done = false;

  ThreadedRun(WorkerFixture& f) {
    auto started = start_installation(f.services());
    EXPECT_TRUE(started.ok());
    handle = std::move(started).value();
  }
  // Polls until `until` holds for the last event or the run is over.
  void poll(const std::function<bool(const std::string&)>& until, Clock::duration limit = 10s) {
    const auto give_up = Clock::now() + limit;
    while (!done && Clock::now() < give_up) {
      const auto before = events.size();
      for (auto& e : drain(handle.events, &done)) events.push_back(std::move(e));
      for (auto i = before; i < events.size(); ++i)
        if (until(events[i])) return;
      std::this_thread::sleep_for(1ms);
    }
  }
};

// However the channel stalls, a cancel ends the run well within a quarter
// of a second, and the kept bytes let the next run go on where it stopped.
TEST(Worker, CancelEndsARunAtOnceInEveryPhase) {
  const std::string half = "100000";
  const struct {
    const char* phase;
    std::function<void(WorkerFixture&, std::atomic<bool>&)> arrange;
    std::chrono::milliseconds after;  // from the phase's start to the cancel
  } cases[] = {
      {"waiting for the manifest's head",
       [](WorkerFixture& f, std::atomic<bool>& reached) {
         auto& route = f.pkg.fake->routes[f.pkg.client.settings.manifest_url];
         route.front().hang = true;
         route.front().on_send = [&reached] { reached = true; };
       },
       300ms},
      {"a pause between manifest attempts",
       [](WorkerFixture& f, std::atomic<bool>& reached) {
         auto unavailable = answer(503, {});
         unavailable.on_send = [&reached] { reached = true; };
         f.pkg.fake->routes[f.pkg.client.settings.manifest_url].push_front(unavailable);
       },
       100ms},
      {"a stalled installer body",
       [half](WorkerFixture& f, std::atomic<bool>& reached) {
         auto stalled = answer(200, {{"ETag", test::kEtag}, {"Content-Length", "200000"}},
                               f.pkg.package.substr(0, 100000));
         stalled.hang_body = true;
         stalled.on_send = [&reached] { reached = true; };
         f.pkg.fake->routes[f.pkg.installer_url] = {stalled};
       },
       300ms},
  };
  Clock::duration worst{};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.phase);
    WorkerFixture f;
    f.on_tick = [](int) {};
    std::atomic<bool> reached = false;
    c.arrange(f, reached);
    ThreadedRun run(f);
    const auto reach_limit = Clock::now() + 10s;
    while (!reached && Clock::now() < reach_limit) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(reached);
    std::this_thread::sleep_for(c.after);
    const auto cancelled_at = Clock::now();
    EXPECT_TRUE(request_cancel(*run.handle.flags));
    run.poll([](const std::string& e) { return e.starts_with("Finished"); });
    const auto latency = Clock::now() - cancelled_at;
    worst = std::max(worst, latency);
    EXPECT_LT(latency, 250ms);
    ASSERT_FALSE(run.events.empty());
    EXPECT_EQ(run.events.back(), kCancelled);
    EXPECT_TRUE(f.launched.empty());
  }
  std::printf("worst cancel latency: %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(worst).count()));
}

TEST(Worker, ARunAfterACancelledDownloadResumesIt) {
  WorkerFixture f;
  auto stalled = answer(200, {{"ETag", test::kEtag}, {"Content-Length", "200000"}},
                        f.pkg.package.substr(0, 100000));
  stalled.hang_body = true;
  std::atomic<bool> reached = false;
  stalled.on_send = [&reached] { reached = true; };
  f.pkg.fake->routes[f.pkg.installer_url] = {
      stalled, answer(206, {{"ETag", test::kEtag}, {"Content-Range", "bytes 100000-199999/200000"}},
                      f.pkg.package.substr(100000))};
  {
    ThreadedRun run(f);
    while (!reached) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(200ms);  // the first half is stored by now
    EXPECT_TRUE(request_cancel(*run.handle.flags));
    run.poll([](const std::string&) { return false; });
    ASSERT_TRUE(run.done);
    EXPECT_EQ(run.events.back(), kCancelled);
  }
  EXPECT_EQ(test::read_file(join_path(f.pkg.release_dir(), "installer.part")),
            f.pkg.package.substr(0, 100000));

  EXPECT_EQ(f.run(), (std::vector<std::string>{kResolving, "Downloading 100000/200000 1.4.2",
                                               "Downloading 200000/200000 1.4.2", kVerifying,
                                               kReady, kLaunching, kCompleted}));
  ASSERT_EQ(f.pkg.installer_requests(), 2u);
  bool ranged = false;
  for (const auto& h : f.pkg.fake->requests.back().headers)
    ranged = ranged || (h.name == "Range" && h.value.starts_with("bytes=100000-"));
  EXPECT_TRUE(ranged);
}

TEST(Worker, ThrottleLetsAStageThroughEvery100ms) {
  const auto t0 = Clock::now();
  const struct {
    int at_ms;
    Stage stage;
    std::uint64_t done;
    std::optional<std::uint64_t> total;
    bool passes;
  } steps[] = {
      {0, Stage::Resolving, 0, std::nullopt, true},      // the first report
      {10, Stage::Downloading, 0, 100, true},            // a new stage
      {60, Stage::Downloading, 10, 100, false},          // 50 ms later
      {109, Stage::Downloading, 20, 100, false},
      {110, Stage::Downloading, 30, 100, true},          // 100 ms after the last sent
      {120, Stage::Downloading, 100, 100, true},         // complete
      {125, Stage::Downloading, 50, std::nullopt, false},
      {20, Stage::Downloading, 60, std::nullopt, false},  // the clock went back
      {130, Stage::Verifying, 100, 100, true},           // 10 ms later, a new stage
      {131, Stage::Ready, 100, 100, true},
  };
  Clock::time_point now = t0;
  ProgressThrottle throttle([&] { return now; });
  for (const auto& s : steps) {
    SCOPED_TRACE(s.at_ms);
    now = t0 + std::chrono::milliseconds(s.at_ms);
    EXPECT_EQ(throttle.pass({s.stage, "1.4.2", s.done, s.total}), s.passes);
  }
}

TEST(Worker, EventChannelKeepsOrderAndTellsEmptyFromGone) {
  auto [tx, rx] = make_event_channel<int>();
  std::optional<int> v;
  EXPECT_EQ(rx.try_receive(v), Receive::kEmpty);
  constexpr int kCount = 200000;
  std::thread producer([tx = std::move(tx)]() mutable {
    for (int i = 0; i < kCount; ++i) EXPECT_TRUE(tx.send(i));
  });
  int expected = 0;
  for (;;) {
    const Receive r = rx.try_receive(v);
    if (r == Receive::kDisconnected) break;
    if (r == Receive::kValue) {
      EXPECT_EQ(*v, expected++);
    }
  }
  producer.join();
  EXPECT_EQ(expected, kCount);  // nothing was lost before the disconnect
  EXPECT_GE(rx.high_water(), 1u);
}

}  // namespace
}  // namespace nuvo

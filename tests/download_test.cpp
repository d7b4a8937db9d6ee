#include "download/download_loop.h"
#include "download/package.h"

#include <gtest/gtest.h>

#include <chrono>

#include "channel_config.h"
#include "download/resume_state.h"
#include "fake_transport.h"
#include "package_fixture.h"
#include "test_support.h"

namespace nuvo {
namespace {

using test::answer;
using test::FakeTransport;
using test::kEtag;
using test::PackageFixture;
using test::ScriptedAnswer;

std::string bytes(std::size_t n, int seed = 0) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131 + seed * 7) % 251);
  return out;
}

std::string range_of(const test::RecordedRequest& r) {
  for (const auto& h : r.headers) {
    if (h.name == "Range") return h.value;
  }
  return "";
}

std::string if_range_of(const test::RecordedRequest& r) {
  for (const auto& h : r.headers) {
    if (h.name == "If-Range") return h.value;
  }
  return "";
}

// One release directory with the download loop's inputs around it.
struct LoopFixture {
  test::ScratchDir dir;
  ReleasePaths paths = release_paths(os_cache_fs(), dir.path(), "1.4.2", "u", "s").value();
  Url url = *parse_url("https://" + std::string(config::kReleaseHost) +
                       "/graycrane42/nuvo/releases/download/v1.4.2/Nuvo_1.4.2_x64-setup.exe");
  FakeTransport fake;
  std::atomic<bool> cancel{false};
  std::vector<DownloadProgress> reports;
  ProgressSink sink = [this](const DownloadProgress& p) { reports.push_back(p); };
  std::chrono::seconds now{0};

  SetupResult<void> run(bool fake_clock = false) {
    DownloadJob job{fake, "graycrane42/nuvo", url, paths, os_cache_fs(), "1.4.2", cancel, sink};
    if (fake_clock) job.elapsed = [this] { return now; };
    return download_installer(job);
  }
  std::string part() const { return test::read_file(paths.part); }
  PartialState state() const { return read_state(os_cache_fs(), test::no_cancel(), paths.state); }
  void keep(const std::string& content, PartialState s) {
    dir.write("unused", "");
    test::write_file(paths.part, content);
    ASSERT_TRUE(write_state(os_cache_fs(), test::no_cancel(), paths.state, s));
  }
};

std::optional<SetupErrorKind> kind(const SetupResult<void>& r) {
  return r ? std::nullopt : std::optional(r.error().kind);
}

TEST(DownloadLoop, FreshDownloadRecordsTheServersValidator) {
  LoopFixture f;
  const std::string file = bytes(200000);
  f.fake.answers.push_back(
      answer(200, {{"Content-Length", "200000"}, {"ETag", kEtag}}, file));
  ASSERT_TRUE(f.run());
  EXPECT_EQ(f.part(), file);
  EXPECT_EQ(f.state(), (PartialState{kEtag, 200000}));
  ASSERT_EQ(f.fake.requests.size(), 1u);
  EXPECT_EQ(range_of(f.fake.requests[0]), "");
  // Start of the pass, then one report per stored chunk, the last at the end.
  ASSERT_GE(f.reports.size(), 2u);
  EXPECT_EQ(f.reports.front().downloaded, 0u);
  EXPECT_EQ(f.reports.front().total, std::nullopt);
  EXPECT_EQ(f.reports.back().downloaded, 200000u);
  EXPECT_EQ(f.reports.back().total, 200000u);
  for (const auto& r : f.reports) EXPECT_EQ(r.version, "1.4.2");
}

TEST(DownloadLoop, Scenarios) {
  const std::string file = bytes(100000);
  const std::string head = file.substr(0, 40000);
  const std::string rest = file.substr(40000);
  const std::string range_rest = "bytes 40000-99999/100000";
  const struct {
    const char* name;
    std::string kept;  // installer.part before the run
    PartialState state;
    std::vector<ScriptedAnswer> answers;
    std::optional<SetupErrorKind> expected;
    std::vector<std::string> ranges;  // of every request, "" for none
    std::string part;                 // installer.part after the run
  } cases[] = {
      {"break mid-body, then resume with Range and If-Range",
       "", PartialState{},
       {answer(200, {{"Content-Length", "100000"}, {"ETag", kEtag}}, head, "reset by peer"),
        answer(206, {{"Content-Range", range_rest}, {"ETag", kEtag}}, rest)},
       std::nullopt, {"", "bytes=40000-8428607"}, file},
      {"kept bytes continue across runs",
       head, PartialState{kEtag, 100000},
       {answer(206, {{"Content-Range", range_rest}, {"Content-Length", "60000"}}, rest)},
       std::nullopt, {"bytes=40000-8428607"}, file},
      {"server ignores Range and sends everything",
       head, PartialState{kEtag, 100000},
       {answer(200, {{"Content-Length", "100000"}, {"ETag", "\"v2\""}}, file)},
       std::nullopt, {"bytes=40000-8428607"}, file},
      {"changed ETag discards the kept bytes",
       head, PartialState{kEtag, 100000},
       {answer(206, {{"Content-Range", range_rest}, {"ETag", "\"v2\""}}, rest),
        answer(200, {{"ETag", "\"v2\""}}, file)},
       std::nullopt, {"bytes=40000-8428607", ""}, file},
      {"416 for a complete part",
       file, PartialState{kEtag, 100000},
       {answer(416, {{"Content-Range", "bytes */100000"}})},
       std::nullopt, {"bytes=100000-8488607"}, file},
      {"kept bytes without a validator are discarded",
       head, PartialState{std::nullopt, 100000},
       {answer(200, {}, file)},
       std::nullopt, {""}, file},
      {"a break without a validator starts over",
       "", PartialState{},
       {answer(200, {{"Content-Length", "100000"}}, head, "reset"), answer(200, {}, file)},
       std::nullopt, {"", ""}, file},
      {"weak ETag falls back to Last-Modified",
       "", PartialState{},
       {answer(200, {{"ETag", "W/\"w\""}, {"Last-Modified", "Mon, 01 Jan 2024 00:00:00 GMT"}}, head, "reset"),
        answer(206, {{"Content-Range", range_rest}}, rest)},
       std::nullopt, {"", "bytes=40000-8428607"}, file},
      {"three failures in a row",
       "", PartialState{},
       {answer(503, {})},
       SetupErrorKind::DownloadFailed, {"", "", ""}, ""},
      {"steady progress is never cut off by the retry limit",
       "", PartialState{},
       {answer(200, {{"Content-Length", "100000"}, {"ETag", kEtag}}, file.substr(0, 10000), "r"),
        answer(206, {{"Content-Range", "bytes 10000-99999/100000"}}, file.substr(10000, 10000), "r"),
        answer(206, {{"Content-Range", "bytes 20000-99999/100000"}}, file.substr(20000, 10000), "r"),
        answer(206, {{"Content-Range", "bytes 30000-99999/100000"}}, file.substr(30000))},
       std::nullopt,
       {"", "bytes=10000-8398607", "bytes=20000-8408607", "bytes=30000-8418607"}, file},
      {"announced above 512 MiB", "", PartialState{},
       {answer(200, {{"Content-Length", "536870913"}})},
       SetupErrorKind::InvalidPackageSize, {""}, ""},
      {"more bytes than announced empties the part", "", PartialState{},
       {answer(200, {{"Content-Length", "1000"}, {"ETag", kEtag}}, bytes(1001))},
       SetupErrorKind::InvalidPackageSize, {""}, ""},
      {"200 announcing nothing", "", PartialState{},
       {answer(200, {{"Content-Length", "0"}})},
       SetupErrorKind::InvalidPackageSize, {""}, ""},
      {"refused redirect ends the run", head, PartialState{kEtag, 100000},
       {answer(302, {{"Location", "https://evil.example/x"}})},
       SetupErrorKind::InvalidDownloadUrl, {"bytes=40000-8428607"}, head},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopFixture f;
    if (!c.kept.empty()) f.keep(c.kept, c.state);
    f.fake.answers.assign(c.answers.begin(), c.answers.end());
    EXPECT_EQ(kind(f.run()), c.expected);
    std::vector<std::string> ranges;
    for (const auto& r : f.fake.requests) ranges.push_back(range_of(r));
    EXPECT_EQ(ranges, c.ranges);
    EXPECT_EQ(f.part(), c.part);
    for (const auto& r : f.fake.requests) {
      if (!range_of(r).empty()) {
        EXPECT_FALSE(if_range_of(r).empty());
      }
    }
  }
}

TEST(DownloadLoop, OpenEndedRangeForAFullSizedPart) {
  LoopFixture f;
  {
    auto part = open_file_write(f.paths.part, false);
    ASSERT_TRUE(part);
    ASSERT_TRUE(part->truncate(kMaxPackageSize));  // sparse: no blocks written
  }
  ASSERT_TRUE(write_state(os_cache_fs(), test::no_cancel(), f.paths.state, {kEtag, kMaxPackageSize}));
  f.fake.answers.push_back(answer(416, {{"Content-Range", "bytes */536870912"}}));
  ASSERT_TRUE(f.run());
  ASSERT_EQ(f.fake.requests.size(), 1u);
  EXPECT_EQ(range_of(f.fake.requests[0]), "bytes=536870912-");
}

TEST(DownloadLoop, DeadlineAndCancel) {
  {
    LoopFixture f;
    f.now = std::chrono::seconds(1800);
    f.fake.answers.push_back(answer(200, {}, "x"));
    EXPECT_EQ(kind(f.run(true)), SetupErrorKind::DownloadFailed);
    EXPECT_TRUE(f.fake.requests.empty());
  }
  {
    // The deadline passing mid-body counts as a break.
    LoopFixture f;
    ScriptedAnswer a = answer(200, {{"Content-Length", "10"}, {"ETag", kEtag}}, "01234");
    a.on_send = [&] { f.now = std::chrono::seconds(1800); };
    f.fake.answers.push_back(a);
    EXPECT_EQ(kind(f.run(true)), SetupErrorKind::DownloadFailed);
    EXPECT_EQ(f.fake.requests.size(), 1u);
  }
  {
    // Cancel during the back-off ends the run within one tick and keeps the bytes.
    LoopFixture f;
    f.keep("kept", {kEtag, 10});
    ScriptedAnswer a = answer(503, {});
    a.on_send = [&] {
      std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        f.cancel = true;
      }).detach();
    };
    f.fake.answers.push_back(a);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kind(f.run()), SetupErrorKind::DownloadCancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_EQ(f.part(), "kept");
    EXPECT_EQ(f.state(), (PartialState{kEtag, 10}));
  }
  {
    // Cancel while storing: the bytes so far stay for the next run.
    LoopFixture f;
    f.sink = [&](const DownloadProgress& p) {
      if (p.downloaded > 0) f.cancel = true;
    };
    f.fake.answers.push_back(answer(200, {{"ETag", kEtag}}, bytes(50000)));
    EXPECT_EQ(kind(f.run()), SetupErrorKind::DownloadCancelled);
    EXPECT_FALSE(f.part().empty());
    EXPECT_EQ(f.state().validator, kEtag);
  }
}

// The package run against a scripted channel.
TEST(PackageRun, DownloadsVerifiesAndHoldsTheInstaller) {
  PackageFixture f;
  auto package = prepare_package(f.client, f.cancel, f.sink);
  ASSERT_TRUE(package) << package.error().message();
  EXPECT_EQ(f.stages, (std::vector<Stage>{Stage::Resolving, Stage::Downloading, Stage::Verifying,
                                          Stage::Ready}));
  EXPECT_EQ(package->version, "1.4.2");
  EXPECT_EQ(test::read_file(package->installer_path), f.package);
  const std::string dir = f.release_dir();
  EXPECT_EQ(package->installer_path, join_path(dir, "NuvoInstaller.exe"));
  EXPECT_FALSE(file_size(join_path(dir, "installer.part")));
  EXPECT_FALSE(file_size(join_path(dir, "resume.json")));
  // Locked while held.
  auto second = open_cache(f.client.cache_dir);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().kind, SetupErrorKind::DownloadDirBusy);
}

TEST(PackageRun, ReusesOrReplacesTheCachedInstaller) {
  PackageFixture f;
  ASSERT_TRUE(prepare_package(f.client, f.cancel, f.sink));
  EXPECT_EQ(f.installer_requests(), 1u);

  // A verified installer is reused without a request.
  f.stages.clear();
  ASSERT_TRUE(prepare_package(f.client, f.cancel, f.sink));
  EXPECT_EQ(f.stages, (std::vector<Stage>{Stage::Resolving, Stage::Verifying, Stage::Ready}));
  EXPECT_EQ(f.installer_requests(), 1u);

  // A corrupted one is deleted and downloaded again.
  std::string corrupted = f.package;
  corrupted[5] ^= 1;
  test::write_file(join_path(f.release_dir(), "NuvoInstaller.exe"), corrupted);
  f.stages.clear();
  auto again = prepare_package(f.client, f.cancel, f.sink);
  ASSERT_TRUE(again);
  EXPECT_EQ(f.stages, (std::vector<Stage>{Stage::Resolving, Stage::Verifying, Stage::Downloading,
                                          Stage::Verifying, Stage::Ready}));
  EXPECT_EQ(f.installer_requests(), 2u);
  EXPECT_EQ(test::read_file(again->installer_path), f.package);
}

TEST(PackageRun, AFinishedPartThatFailsItsCheckIsDiscarded) {
  PackageFixture f;
  std::string tampered = f.package;
  tampered[100] ^= 1;
  f.serve(tampered);
  auto r = prepare_package(f.client, f.cancel, f.sink);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, SetupErrorKind::SignatureInvalid);
  const std::string dir = f.release_dir();
  EXPECT_EQ(file_size(join_path(dir, "installer.part")), 0u);
  EXPECT_EQ(read_state(os_cache_fs(), test::no_cancel(), join_path(dir, "resume.json")), PartialState{});
  EXPECT_FALSE(file_size(join_path(dir, "NuvoInstaller.exe")));
  // Not locked any more; the next run downloads from byte 0.
  f.serve(f.package);
  auto next = prepare_package(f.client, f.cancel, f.sink);
  ASSERT_TRUE(next);
  EXPECT_EQ(range_of(f.fake->requests.back()), "");
}

TEST(PackageRun, CancelDuringTheCheckKeepsTheBytes) {
  PackageFixture f;
  f.sink = [&](const DownloadProgress& p) {
    if (p.stage == Stage::Verifying) f.cancel = true;
  };
  auto r = prepare_package(f.client, f.cancel, f.sink);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, SetupErrorKind::DownloadCancelled);
  const std::string dir = f.release_dir();
  EXPECT_EQ(test::read_file(join_path(dir, "installer.part")), f.package);
  EXPECT_EQ(read_state(os_cache_fs(), test::no_cancel(), join_path(dir, "resume.json")).validator, kEtag);
}

TEST(PackageRun, CancelledBeforeItStartsTouchesNothing) {
  PackageFixture f;
  f.cancel = true;
  auto r = prepare_package(f.client, f.cancel, f.sink);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, SetupErrorKind::DownloadCancelled);
  EXPECT_FALSE(file_size(f.client.cache_dir));
  EXPECT_TRUE(f.fake->requests.empty());
}

}  // namespace
}  // namespace nuvo

// Whole package runs over an in-memory disk that fails one call at a time, or
// stops there as a crash would, with the same promises checked after each:
// nothing unverified becomes NuvoInstaller.exe, installer.part is a prefix of
// the package, kept bytes are recorded and never fetched again, and the next
// run finishes the job.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "download/package.h"
#include "download/patience.h"
#include "download/resume_state.h"
#include "fake_cache_fs.h"
#include "package_fixture.h"

namespace nuvo {
namespace {

using test::DiskFault;
using test::FakeCacheFs;

class Bytes final : public HttpBody {
 public:
  explicit Bytes(std::string data) : data_(std::move(data)) {}
  Result<std::size_t, std::string> read(std::span<std::uint8_t> buffer) override {
    const std::size_t n = std::min({buffer.size(), data_.size() - offset_, std::size_t{16384}});
    std::copy_n(data_.data() + offset_, n, buffer.data());
    offset_ += n;
    return n;
  }

 private:
  std::string data_;
  std::size_t offset_ = 0;
};

// The installer URL served with ranges against the fixture's ETag. The
// manifest comes from the fixture's scripted transport.
class RangeServer final : public HttpTransport {
 public:
  RangeServer(std::unique_ptr<HttpTransport> rest, std::string url, std::string package)
      : rest_(std::move(rest)), url_(std::move(url)), package_(std::move(package)) {}

  std::uint64_t served = 0;

  Result<HttpResponse, std::string> get(std::string_view url,
                                        const std::vector<HttpHeader>& headers,
                                        const RequestStop& stop) override {
    if (url != url_) return rest_->get(url, headers, stop);
    std::size_t from = 0;
    bool ranged = false;
    for (const auto& h : headers) {
      if (h.name == "Range") {
        from = std::stoul(h.value.substr(6));
        ranged = true;
      }
      if (h.name == "If-Range" && h.value != test::kEtag) ranged = false, from = 0;
    }
    HttpResponse r;
    r.headers = {{"ETag", test::kEtag}};
    const std::string size = std::to_string(package_.size());
    if (ranged && from >= package_.size()) {
      r.status = 416;
      r.headers.push_back({"Content-Range", "bytes */" + size});
      r.body = std::make_unique<Bytes>("");
      return r;
    }
    std::string body = package_.substr(from);
    r.status = ranged ? 206 : 200;
    r.headers.push_back({"Content-Length", std::to_string(body.size())});
    if (ranged)
      r.headers.push_back(
          {"Content-Range", "bytes " + std::to_string(from) + "-" +
                                std::to_string(package_.size() - 1) + "/" + size});
    served += body.size();
    r.body = std::make_unique<Bytes>(std::move(body));
    return r;
  }

 private:
  std::unique_ptr<HttpTransport> rest_;
  std::string url_;
  std::string package_;
};

struct Disk {
  test::PackageFixture pkg;
  FakeCacheFs fs;
  RangeServer* server = nullptr;
  PackageOptions options;

  // With `kept`, half the package is in installer.part from an earlier run.
  explicit Disk(bool kept) {
    auto server_owned = std::make_unique<RangeServer>(std::move(pkg.client.http),
                                                      pkg.installer_url, pkg.package);
    server = server_owned.get();
    pkg.client.http = std::move(server_owned);
    options.fs = &fs;
    if (!kept) return;
    const std::string dir = pkg.client.cache_dir + release_dir();
    fs.files[dir + "installer.part"] = pkg.package.substr(0, pkg.package.size() / 2);
    fs.files[dir + "resume.json"] = format_state({test::kEtag, pkg.package.size()});
  }

  // The release directory below the cache root, with its separators, as a
  // first run makes it.
  static const std::string& release_dir() {
    static const std::string below_root = [] {
      Disk first(false);
      (void)first.run();
      const std::string& installer = first.fs.files.begin()->first;
      const std::size_t root = first.pkg.client.cache_dir.size();
      return installer.substr(root, installer.find_last_of("/\\") + 1 - root);
    }();
    return below_root;
  }
  SetupResult<VerifiedPackage> run() {
    return prepare_package(pkg.client, pkg.cancel, pkg.sink, options);
  }
};

// What must hold of the disk whatever happened to the run; empty when it does.
std::string broken_promise(const FakeCacheFs& fs, const std::string& package) {
  if (const auto* exe = fs.find("NuvoInstaller.exe"); exe && *exe != package)
    return "NuvoInstaller.exe is not the published package";
  const auto* part = fs.find("installer.part");
  if (part && !package.starts_with(*part)) return "installer.part is not a prefix of the package";
  const auto* record = fs.find("resume.json");
  if (part && !part->empty() &&
      (!record || parse_state(*record).validator != test::kEtag))
    return "kept bytes without a record that vouches for them";
  return "";
}

TEST(DiskFaults, EveryCallOfARunFailsOrStopsInTurn) {
  const DiskFault faults[] = {DiskFault::NoSpace, DiskFault::IoError, DiskFault::Held,
                              DiskFault::HeldBriefly, DiskFault::Crash};
  std::size_t runs = 0, survived = 0, crashes = 0;
  for (const bool kept : {false, true}) {
    std::size_t calls_in_a_run = 0;
    {
      Disk clean(kept);
      ASSERT_TRUE(clean.run());
      ASSERT_EQ(clean.server->served, kept ? clean.pkg.package.size() / 2 : clean.pkg.package.size());
      calls_in_a_run = clean.fs.calls;
    }
    for (const DiskFault fault : faults) {
      for (std::size_t at = 1; at <= calls_in_a_run; ++at) {
        Disk d(kept);
        d.fs.fault = fault;
        d.fs.fault_at = at;
        const std::string where = std::string(kept ? "resumed" : "fresh") + " run, fault " +
                                  std::to_string(static_cast<int>(fault)) + " at call " +
                                  std::to_string(at);
        {
          auto first = d.run();
          ++runs;
          survived += static_cast<bool>(first);
          crashes += fault == DiskFault::Crash;
          SCOPED_TRACE(where + " (" + d.fs.faulted_call + ")");
          if (!first) {
            EXPECT_EQ(first.error().kind, SetupErrorKind::StorageFailed);
          }
          // Another program's brief hold on a file we move, delete or open
          // again is waited out; a hold for good, for the whole patience.
          if (d.fs.faulted_call == "move" || d.fs.faulted_call == "delete" ||
              d.fs.faulted_call == "open") {
            if (fault == DiskFault::HeldBriefly) {
              EXPECT_TRUE(first);
            }
            if (fault == DiskFault::Held) {
              EXPECT_EQ(d.fs.pauses, kPatience / kPatienceStep);
            }
          }
          EXPECT_EQ(broken_promise(d.fs, d.pkg.package), "");
        }

        // The next run on the same disk finishes and fetches only what is missing.
        d.fs.restart();
        const auto* part = d.fs.find("installer.part");
        const bool installed = d.fs.find("NuvoInstaller.exe") != nullptr;
        const std::uint64_t missing =
            installed ? 0 : d.pkg.package.size() - (part ? part->size() : 0);
        d.server->served = 0;
        SCOPED_TRACE(where + ", next run");
        ASSERT_TRUE(d.run());
        EXPECT_EQ(*d.fs.find("NuvoInstaller.exe"), d.pkg.package);
        EXPECT_EQ(d.server->served, missing);
      }
    }
  }
  std::printf("disk faults: %zu runs, %zu crash points, %zu runs came through\n", runs, crashes,
              survived);
}

// A file the run wrote, held by another program when the run opens it
// again: let go at the patience's last try, the run goes on; held one wait
// longer, the run fails and keeps what it has.
TEST(DiskFaults, AReopenedFileIsWaitedForThePatience) {
  constexpr std::size_t kTries = kPatience / kPatienceStep;
  const struct {
    const char* name;
    bool kept;
    std::string call;
    bool last;  // its last occurrence in the run, else its first
  } cases[] = {
      {"the finished part, opened to be verified", false, "open installer.part", true},
      {"the installer, opened after its move", false, "open NuvoInstaller.exe", true},
      {"a kept part, opened to be continued", true, "open installer.part", false},
  };
  for (const auto& c : cases) {
    Disk clean(c.kept);
    clean.fs.trail.emplace();
    ASSERT_TRUE(clean.run());
    const auto& trail = *clean.fs.trail;
    const auto first = std::find(trail.begin(), trail.end(), c.call);
    const auto last = std::find(trail.rbegin(), trail.rend(), c.call);
    ASSERT_NE(first, trail.end()) << c.name;
    const std::size_t call = c.last ? static_cast<std::size_t>(trail.rend() - last)
                                    : static_cast<std::size_t>(first - trail.begin()) + 1;
    for (const bool released : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (released ? ", released in time" : ", held too long"));
      Disk d(c.kept);
      d.fs.fault = DiskFault::HeldBriefly;
      d.fs.fault_at = call;
      d.fs.brief_hold = released ? kTries : kTries + 1;
      const auto r = d.run();
      EXPECT_EQ(d.fs.faulted_call, "open");
      EXPECT_EQ(d.fs.pauses, kTries);
      ASSERT_EQ(r.ok(), released);
      if (!released) {
        EXPECT_EQ(r.error().kind, SetupErrorKind::StorageFailed);
      }
      EXPECT_EQ(broken_promise(d.fs, d.pkg.package), "");
      const auto* part = d.fs.find("installer.part");
      const auto* exe = d.fs.find("NuvoInstaller.exe");
      EXPECT_TRUE((part && !part->empty()) || exe) << "the downloaded bytes are gone";
    }
  }
}

// A cancel while a held file is waited for ends the run at once, and keeps
// the finished part for the next run.
TEST(DiskFaults, ACancelEndsTheWaitForAHeldFile) {
  Disk d(false);
  d.fs.trail.emplace();
  ASSERT_TRUE(d.run());
  const auto& trail = *d.fs.trail;
  const auto move = std::find(trail.begin(), trail.end(), "move installer.part");
  ASSERT_NE(move, trail.end());

  Disk held(false);
  held.fs.fault = DiskFault::Held;
  held.fs.fault_at = static_cast<std::size_t>(move - trail.begin()) + 1;
  held.fs.on_pause = [&] { held.pkg.cancel = true; };
  const auto r = held.run();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, SetupErrorKind::DownloadCancelled);
  EXPECT_EQ(held.fs.pauses, 1u);
  EXPECT_EQ(*held.fs.find("installer.part"), held.pkg.package);
}

}  // namespace
}  // namespace nuvo

// An in-memory cache file system whose calls fail on purpose: any one call
// (a path operation or a call on an open file) meets a chosen fault, or the
// program stops there as a crash would and the disk stays as it was.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/cache_fs.h"

namespace nuvo::test {

enum class DiskFault {
  None,
  NoSpace,      // a write takes half its bytes, then the disk is full
  IoError,      // the call fails
  Held,         // another program holds the path for good (a transient refusal)
  HeldBriefly,  // ... and lets go after `brief_hold` waits
  Crash,        // this call and every later one never happen
};

class FakeCacheFs final : public CacheFs {
 public:
  std::map<std::string, std::string> files;
  std::size_t calls = 0;
  std::size_t pauses = 0;
  // The call (counted from 1) that meets `fault`; 0 for none.
  std::size_t fault_at = 0;
  DiskFault fault = DiskFault::None;
  std::size_t brief_hold = 3;  // the waits a HeldBriefly path is held for
  std::string faulted_call;  // the name of the call that met it
  std::function<void()> on_pause;
  // When set, every call: its name and the last component of its path.
  std::optional<std::vector<std::string>> trail;
  // Paths that are links (reparse points) themselves; what lies below them
  // is reached as on Windows, through them.
  std::set<std::string, std::less<>> links;

  SetupResult<CacheFile> lock_file(std::string_view path) override {
    if (auto r = enter("lock_file", path); !r) return Failure{r.error()};
    if (links.contains(path)) return fail(SetupErrorKind::ChannelMisconfigured);
    if (locked_) return fail(SetupErrorKind::DownloadDirBusy);
    locked_ = true;
    return CacheFile(std::make_unique<LockFile>(locked_));
  }
  SetupResult<void> check_not_link(std::string_view path) override {
    if (auto r = enter("check_not_link", path); !r) return r;
    if (links.contains(path)) return fail(SetupErrorKind::ChannelMisconfigured);
    return {};
  }
  SetupResult<CacheDirectory> ensure_directory(std::string_view path) override {
    if (auto r = enter("ensure_directory", path); !r) return Failure{r.error()};
    if (links.contains(path)) return fail(SetupErrorKind::ChannelMisconfigured);
    return CacheDirectory();
  }
  SetupResult<void> create_trusted_directories(std::string_view path) override {
    return enter("create_trusted", path);
  }
  SetupResult<CacheFile> open_file_read(std::string_view path) override {
    if (auto r = enter("open", path); !r) return Failure{r.error()};
    if (!files.contains(std::string(path))) return storage("no such file");
    return CacheFile(std::make_unique<File>(*this, std::string(path), 0));
  }
  SetupResult<CacheFile> open_file_write(std::string_view path, bool append) override {
    if (auto r = enter("open", path); !r) return Failure{r.error()};
    const std::string& bytes = files[std::string(path)];
    return CacheFile(std::make_unique<File>(*this, std::string(path), append ? bytes.size() : 0));
  }
  SetupResult<void> move_file(std::string_view from, std::string_view to) override {
    if (auto r = enter("move", from); !r) return r;
    const auto found = files.find(std::string(from));
    if (found == files.end()) return storage("no such file");
    std::string bytes = std::move(found->second);
    files.erase(found);
    files[std::string(to)] = std::move(bytes);
    return {};
  }
  SetupResult<void> delete_file(std::string_view path) override {
    if (auto r = enter("delete", path); !r) return r;
    if (files.erase(std::string(path)) == 0) return storage("no such file");
    return {};
  }
  std::optional<std::uint64_t> file_size(std::string_view path) override {
    if (!enter("file_size", path)) return std::nullopt;
    const auto found = files.find(std::string(path));
    if (found == files.end()) return std::nullopt;
    return found->second.size();
  }
  void pause(std::chrono::milliseconds) override {
    ++pauses;
    if (held_waits_ > 0 && --held_waits_ == 0) held_.clear();
    if (on_pause) on_pause();
  }

  bool crashed() const { return crashed_; }
  // A new process on the same disk: no fault, nothing held, nothing locked.
  void restart() {
    fault_at = 0;
    fault = DiskFault::None;
    crashed_ = false;
    held_.clear();
  }
  // The one file whose path ends in `name`, if any.
  const std::string* find(std::string_view name) const {
    for (const auto& [path, bytes] : files) {
      if (path.ends_with(name)) return &bytes;
    }
    return nullptr;
  }

 private:
  static Failure<SetupError> storage(std::string detail) {
    return fail(SetupErrorKind::StorageFailed, std::move(detail));
  }
  static Failure<SetupError> refused() {
    SetupError e(SetupErrorKind::StorageFailed, "sharing violation");
    e.transient = true;
    return Failure{std::move(e)};
  }

  // Every call passes here first. An empty path marks a call on an open file.
  SetupResult<void> enter(std::string_view name, std::string_view path, bool* short_write = nullptr) {
    if (crashed_) return storage("the program has stopped");
    ++calls;
    if (trail) {
      const auto name_start = path.find_last_of("/\\");
      trail->push_back(std::string(name) + (path.empty() ? "" : " ") +
                       std::string(path.substr(name_start == path.npos ? 0 : name_start + 1)));
    }
    if (!held_.empty() && path == held_) return refused();
    if (calls != fault_at) return {};
    faulted_call = name;
    switch (fault) {
      case DiskFault::None:
        return {};
      case DiskFault::NoSpace:
        if (short_write) *short_write = true;
        return storage("no space left on the disk");
      case DiskFault::IoError:
        return storage("input/output error");
      case DiskFault::Held:
      case DiskFault::HeldBriefly:
        held_ = path.empty() ? std::string("\n") : std::string(path);
        held_waits_ = fault == DiskFault::HeldBriefly ? brief_hold : 0;
        return refused();
      case DiskFault::Crash:
        crashed_ = true;
        return storage("the program has stopped");
    }
    return {};
  }

  class LockFile final : public FileIo {
   public:
    explicit LockFile(bool& locked) : locked_(locked) {}
    ~LockFile() override { locked_ = false; }
    SetupResult<std::uint64_t> size() const override { return 0; }
    SetupResult<std::size_t> read(std::span<std::uint8_t>) override { return 0; }
    SetupResult<void> write_all(std::span<const std::uint8_t>) override { return {}; }
    SetupResult<void> truncate(std::uint64_t) override { return {}; }
    SetupResult<void> flush() override { return {}; }

   private:
    bool& locked_;
  };

  class File final : public FileIo {
   public:
    File(FakeCacheFs& fs, std::string path, std::size_t position)
        : fs_(fs), path_(std::move(path)), position_(position) {}
    SetupResult<std::uint64_t> size() const override {
      if (auto r = fs_.enter("size", {}); !r) return Failure{r.error()};
      return bytes().size();
    }
    SetupResult<std::size_t> read(std::span<std::uint8_t> buffer) override {
      if (auto r = fs_.enter("read", {}); !r) return Failure{r.error()};
      const std::string& b = bytes();
      const std::size_t n = std::min(buffer.size(), b.size() - std::min(position_, b.size()));
      std::copy_n(b.data() + position_, n, buffer.data());
      position_ += n;
      return n;
    }
    SetupResult<void> write_all(std::span<const std::uint8_t> data) override {
      bool short_write = false;
      auto r = fs_.enter("write", {}, &short_write);
      if (!r && !short_write) return r;
      const std::size_t n = short_write ? data.size() / 2 : data.size();
      std::string& b = bytes();
      if (b.size() < position_ + n) b.resize(position_ + n);
      std::copy_n(data.data(), n, b.data() + position_);
      position_ += n;
      return r;
    }
    SetupResult<void> truncate(std::uint64_t length) override {
      if (auto r = fs_.enter("truncate", {}); !r) return r;
      bytes().resize(length);
      return {};
    }
    SetupResult<void> flush() override { return fs_.enter("flush", {}); }

   private:
    std::string& bytes() const { return fs_.files[path_]; }
    FakeCacheFs& fs_;
    std::string path_;
    std::size_t position_;
  };

  bool locked_ = false;
  bool crashed_ = false;
  std::string held_;
  std::size_t held_waits_ = 0;
};

}  // namespace nuvo::test

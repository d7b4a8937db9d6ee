// What the publisher's tool needs of the file system beyond the cache layer:
// absolute paths, and a temporary folder that is removed with everything in it.
#pragma once

#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/file.h"

namespace nuvo {

// `path` made absolute against the current directory (not resolving links).
Result<std::string, OsError> absolute_path(std::string_view path);

// A new, empty folder in the system's temporary folder, removed with its
// contents (never following a link inside) when the owner goes.
class TempDirectory {
 public:
  static Result<TempDirectory, OsError> create();

  TempDirectory(TempDirectory&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
  }
  TempDirectory& operator=(TempDirectory&&) = delete;
  TempDirectory(const TempDirectory&) = delete;
  ~TempDirectory();

  const std::string& path() const { return path_; }

 private:
  explicit TempDirectory(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace nuvo

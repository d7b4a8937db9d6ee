// Small file chores of the publisher's tool, over the platform's file layers.
#pragma once

#include <string>
#include <string_view>

#include "common/result.h"

namespace nuvo::release {

// A whole small file, at most `limit` bytes; an error text for a missing,
// unreadable or larger file. The bytes are read where they are returned,
// never copied, so a caller holding a secret can wipe them all.
Result<std::string, std::string> read_small_file(std::string_view path, std::size_t limit);

// The last component of a path; '/' and '\\' both separate.
std::string_view file_name_of(std::string_view path);

// Writes `bytes` to `path` + ".part", flushed, then moves it onto `path`.
Result<void, std::string> write_file_replacing(std::string_view path, std::string_view bytes);

// A file that exists only until it is committed (moved onto its final name)
// or its owner goes.
class StagedFile {
 public:
  explicit StagedFile(std::string final_path)
      : final_(std::move(final_path)), staged_(final_ + ".part") {}
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();

  const std::string& path() const { return staged_; }
  const std::string& final_path() const { return final_; }
  Result<void, std::string> write(std::string_view bytes);
  Result<void, std::string> commit();

 private:
  std::string final_;
  std::string staged_;
  bool committed_ = false;
};

}  // namespace nuvo::release

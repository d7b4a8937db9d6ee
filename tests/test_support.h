// Shared helpers for the unit tests: fixtures and scratch files.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace nuvo::test {

std::string fixture_path(std::string_view name);
std::string read_fixture(std::string_view name);

// base64 of a fixture file, as the channel publishes keys and signatures.
std::string fixture_base64(std::string_view name);

std::string read_file(const std::string& path);  // empty when missing
void write_file(const std::string& path, std::string_view content);
// The one subdirectory of `dir` (a release directory), or empty.
std::string only_subdirectory(const std::string& dir);

// A cancel flag that is never set.
inline const std::atomic<bool>& no_cancel() {
  static const std::atomic<bool> never{false};
  return never;
}

// A fresh directory that is removed with everything in it at destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const;
  std::string write(std::string_view name, std::string_view content) const;

 private:
  std::string path_;
};

}  // namespace nuvo::test

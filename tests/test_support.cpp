#include "test_support.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "signature/base64.h"

namespace nuvo::test {

std::string fixture_path(std::string_view name) {
  return std::string(NUVO_FIXTURES_DIR) + "/" + std::string(name);
}

std::string read_fixture(std::string_view name) {
  std::ifstream in(fixture_path(name), std::ios::binary);
  if (!in) throw std::runtime_error("missing fixture " + std::string(name));
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string fixture_base64(std::string_view name) { return encode_base64(read_fixture(name)); }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string only_subdirectory(const std::string& dir) {
  std::string found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.is_directory()) found = entry.path().string();
  }
  return found;
}

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const auto dir = std::filesystem::temp_directory_path() /
                   ("nuvo-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(dir);
  path_ = dir.generic_string();
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ScratchDir::file(std::string_view name) const { return path_ + "/" + std::string(name); }

std::string ScratchDir::write(std::string_view name, std::string_view content) const {
  const std::string p = file(name);
  std::ofstream out(p, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return p;
}

}  // namespace nuvo::test

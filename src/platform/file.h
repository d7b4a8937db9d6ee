// Reading files, with operating-system failures kept as values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/result.h"
#include "platform/scoped_handle.h"

namespace nuvo {

struct OsError {
  std::uint32_t code = 0;
  std::string text;  // the system's own description of code

  // "<text> (os error <code>)".
  std::string display() const;
};

OsError last_os_error();
OsError os_error_from_code(std::uint32_t code);

// Anything bytes can be read from, so that readers can be faked in tests.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // 0 means end of data.
  virtual Result<std::size_t, OsError> read(std::span<std::uint8_t> buffer) = 0;
};

class ReadOnlyFile final : public ByteReader {
 public:
  // Opens an existing regular file for reading, sharing read, write and delete.
  static Result<ReadOnlyFile, OsError> open(std::string_view path);

  Result<std::uint64_t, OsError> size() const;
  Result<std::size_t, OsError> read(std::span<std::uint8_t> buffer) override;

 private:
  explicit ReadOnlyFile(FileHandle h) : handle_(std::move(h)) {}
  FileHandle handle_;
};

struct PathInfo {
  bool is_directory = false;
  std::uint64_t size = 0;  // 0 for anything but a regular file
};

// Follows links, like any ordinary metadata query.
Result<PathInfo, OsError> path_info(std::string_view path);

}  // namespace nuvo

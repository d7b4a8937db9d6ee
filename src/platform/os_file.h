// The operating system's open file behind CacheFile; each platform defines
// its calls in its own cache_fs file.
#pragma once

#include "platform/cache_fs.h"

namespace nuvo {

class OsFile final : public FileIo {
 public:
  explicit OsFile(FileHandle handle) : handle_(std::move(handle)) {}

  SetupResult<std::uint64_t> size() const override;
  SetupResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  SetupResult<void> write_all(std::span<const std::uint8_t> bytes) override;
  SetupResult<void> truncate(std::uint64_t length) override;
  SetupResult<void> flush() override;
  const FileHandle* os_handle() const override { return &handle_; }

 private:
  FileHandle handle_;
};

}  // namespace nuvo

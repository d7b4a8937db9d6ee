#include "release/files.h"

#include "common/wipe.h"
#include "platform/cache_fs.h"
#include "platform/file.h"

namespace nuvo::release {

Result<std::string, std::string> read_small_file(std::string_view path, std::size_t limit) {
  auto file = ReadOnlyFile::open(path);
  if (!file) return Failure{std::string(path) + ": " + file.error().display()};
  // Read in place, into a buffer sized once: the text (a key file, a
  // password file) is never copied, so wiping the result wipes every byte.
  std::string text(limit + 1, '\0');
  std::size_t used = 0;
  while (used < text.size()) {
    auto got = file->read(
        std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()).subspan(used));
    if (!got) {
      wipe(text);
      return Failure{std::string(path) + ": " + got.error().display()};
    }
    if (*got == 0) break;
    used += *got;
  }
  if (used > limit) {
    wipe(text);
    return Failure{std::string(path) + ": larger than expected"};
  }
  text.resize(used);
  return text;
}

std::string_view file_name_of(std::string_view path) {
  const std::size_t cut = path.find_last_of("/\\");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

Result<void, std::string> write_file_replacing(std::string_view path, std::string_view bytes) {
  StagedFile file{std::string(path)};
  if (auto r = file.write(bytes); !r) return r;
  return file.commit();
}

StagedFile::~StagedFile() {
  if (!committed_ && file_size(staged_)) (void)delete_file(staged_);
}

Result<void, std::string> StagedFile::write(std::string_view bytes) {
  if (file_size(staged_)) {
    if (auto r = delete_file(staged_); !r) return Failure{r.error().detail};
  }
  auto file = open_file_write(staged_, false);
  if (!file) return Failure{file.error().detail};
  const std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                           bytes.size());
  if (auto r = file->write_all(data); !r) return Failure{r.error().detail};
  if (auto r = file->flush(); !r) return Failure{r.error().detail};
  return {};
}

Result<void, std::string> StagedFile::commit() {
  if (auto r = move_file(staged_, final_); !r) return Failure{r.error().detail};
  committed_ = true;
  return {};
}

}  // namespace nuvo::release

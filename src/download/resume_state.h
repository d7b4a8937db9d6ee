// resume.json: what the server said about the file in installer.part, so that
// a later run can ask for the rest of the same file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/setup_error.h"
#include "platform/cache_fs.h"

namespace nuvo {

inline constexpr std::size_t kMaxStateFileSize = 4096;

struct PartialState {
  std::optional<std::string> validator;  // the ETag, else the Last-Modified value
  std::optional<std::uint64_t> total;    // the full size the server announced

  bool operator==(const PartialState&) const = default;
};

// The lenient reading of a record: an object with "validator" and "total" in
// any order (other members skipped, a name given twice refused) or an array
// [validator, total]. Anything else is the empty state.
PartialState parse_state(std::string_view text);

// Compact, "validator" then "total", null for what is absent.
std::string format_state(const PartialState& state);

// Never fails: a missing, oversized, malformed, linked or unreadable record is
// the empty state. A record another program holds is waited for patiently;
// a cancel during that wait gives the empty state too, so the caller looks
// at `cancel` before it acts on the result.
PartialState read_state(CacheFs& fs, const std::atomic<bool>& cancel, std::string_view path);

// The state path with its extension replaced by "tmp": resume.json -> resume.tmp.
std::string temporary_state_path(std::string_view state_path);

// Writes the temporary file, flushes it and moves it over the record, so a
// crash or a failed move leaves the old record or the new one, never half of
// one and never none. StorageFailed, or ChannelMisconfigured for an unsafe
// object; DownloadCancelled while waiting out another program's hold.
SetupResult<void> write_state(CacheFs& fs, const std::atomic<bool>& cancel, std::string_view path,
                              const PartialState& state);

// Gives up the kept bytes: installer.part emptied, the empty state recorded.
SetupResult<void> reset_partial(CacheFs& fs, const std::atomic<bool>& cancel,
                                std::string_view part_path, std::string_view state_path);

// What to do with the bytes already in installer.part before a request.
enum class ResumeDecision {
  FailTooLarge,        // more than a package can hold: reset, then InvalidPackageSize
  StartFresh,          // nothing kept: request from byte 0
  ResetAndStartFresh,  // the record cannot vouch for the bytes: reset, then byte 0
  Continue,            // request from part_size on
};

// `part_size` is 0 when the size of installer.part cannot be read.
ResumeDecision judge_partial(std::uint64_t part_size, const PartialState& state);

}  // namespace nuvo

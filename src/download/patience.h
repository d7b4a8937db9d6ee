// Another program may hold a file we just wrote for a while (virus scanners
// open every new file, above all one named .exe, and read it whole): a move,
// a delete or another open then fails with a sharing violation or access
// denied that passes by itself. The run's own moves, deletes, resets and
// every reopen of a file it wrote wait for it, a bounded time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "common/setup_error.h"
#include "platform/cache_fs.h"

namespace nuvo {

// Long enough for a scanner to read the largest package (512 MiB) at the
// pace of a slow or busy disk, about 20 MB/s, or to unpack the installer's
// archive as it goes: some 26 s. A cancel is still seen every step.
inline constexpr std::chrono::milliseconds kPatience{30000};
inline constexpr std::chrono::milliseconds kPatienceStep{50};

// Calls `op` until it succeeds or fails for good. A transient refusal is
// tried again every kPatienceStep, for kPatience in all; the last refusal
// stands after that. DownloadCancelled as soon as the flag is seen.
template <class Op>
auto patiently(CacheFs& fs, const std::atomic<bool>& cancel, Op op) -> decltype(op()) {
  constexpr auto kTries = kPatience / kPatienceStep;
  for (std::int64_t tried = 0;; ++tried) {
    auto result = op();
    if (result || !result.error().transient || tried == kTries) return result;
    if (cancel.load()) return fail(SetupErrorKind::DownloadCancelled);
    fs.pause(kPatienceStep);
  }
}

}  // namespace nuvo

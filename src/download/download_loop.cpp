#include "download/download_loop.h"

#include <vector>

#include "download/classify.h"
#include "download/patience.h"
#include "download/resume_state.h"
#include "http/request.h"
#include "manifest/channel.h"
#include "platform/cache_fs.h"

namespace nuvo {
namespace {

using Action = ClassifiedResponse::Action;

// The loop's one piece of retry state, changed in one place only.
class Attempts {
 public:
  // Rule A: no progress was possible. Waits counter × 500 ms before the next pass.
  SetupResult<void> back_off(const std::atomic<bool>& cancel) {
    if (count_ >= kDownloadRetries) return fail(SetupErrorKind::DownloadFailed, "retries used up");
    ++count_;
    return wait_before_retry(cancel, static_cast<int>(count_));
  }
  // Rule C: the kept bytes were discarded; the next pass starts at once.
  SetupResult<void> again_now() {
    if (count_ >= kDownloadRetries) return fail(SetupErrorKind::DownloadFailed, "retries used up");
    ++count_;
    return {};
  }
  void progress_made() { count_ = 0; }

 private:
  unsigned count_ = 0;
};

struct Body {
  std::uint64_t stored = 0;
  bool clean = false;  // the end of the body was reached
};

class Loop {
 public:
  explicit Loop(const DownloadJob& job) : job_(job), buffer_(kDownloadBufferSize) {
    const auto start = std::chrono::steady_clock::now();
    transport_deadline_ = start + job.deadline;
    elapsed_ =
        job.elapsed ? job.elapsed : [start] { return std::chrono::steady_clock::now() - start; };
  }

  SetupResult<void> run() {
    for (;;) {
      if (past_deadline()) return fail(SetupErrorKind::DownloadFailed, "deadline passed");

      PartialState state = read_state(job_.fs, job_.cancel, job_.paths.state);
      // A cancel while the record was held: nothing is reset.
      if (job_.cancel.load()) return fail(SetupErrorKind::DownloadCancelled);
      const std::uint64_t size = job_.fs.file_size(job_.paths.part).value_or(0);
      std::uint64_t offset = 0;
      switch (judge_partial(size, state)) {
        case ResumeDecision::FailTooLarge:
          if (auto r = reset(); !r) return r;
          return fail(SetupErrorKind::InvalidPackageSize);
        case ResumeDecision::ResetAndStartFresh:
          if (auto r = reset(); !r) return r;
          state = {};
          break;
        case ResumeDecision::StartFresh:
          break;
        case ResumeDecision::Continue:
          offset = size;
          break;
      }
      report(offset, state.total);

      auto response =
          send_request(job_.client, job_.repository, job_.url,
                       RangeRequest{offset, state.validator}, job_.cancel, transport_deadline_);
      if (!response) {
        if (response.error().kind != SetupErrorKind::DownloadFailed) return Failure{response.error()};
        if (auto r = attempts_.back_off(job_.cancel); !r) return r;
        continue;
      }

      const ClassifiedResponse c =
          classify_response(*response, offset, state.validator, state.total);
      switch (c.action) {
        case Action::Complete:
          return {};
        case Action::Fail:
          if (c.failure != SetupErrorKind::DownloadFailed) return fail(c.failure);
          if (auto r = attempts_.back_off(job_.cancel); !r) return r;
          continue;
        case Action::DiscardRetry:
          if (auto r = reset(); !r) return r;
          if (auto r = attempts_.again_now(); !r) return r;
          continue;
        case Action::Store:
          break;
      }

      auto body = store(*response, c);
      if (!body) return Failure{std::move(body).error()};
      response->body.reset();
      if (job_.cancel.load()) return fail(SetupErrorKind::DownloadCancelled);

      const bool clean = body->clean && (!c.body_length || body->stored == *c.body_length);
      if (clean && (!c.total || c.offset + body->stored == *c.total)) return {};
      if (past_deadline()) return fail(SetupErrorKind::DownloadFailed, "deadline passed");
      if (clean && body->stored > 0) {
        attempts_.progress_made();
        continue;
      }
      // Rule B: a break after real progress on a resumable file costs no retry.
      if (body->stored > 0 && c.validator) attempts_.progress_made();
      if (auto r = attempts_.back_off(job_.cancel); !r) return r;
    }
  }

 private:
  bool past_deadline() const { return elapsed_() >= job_.deadline; }

  void report(std::uint64_t downloaded, std::optional<std::uint64_t> total) const {
    if (job_.progress)
      job_.progress({Stage::Downloading, std::string(job_.version), downloaded, total});
  }

  SetupResult<void> reset() const {
    return reset_partial(job_.fs, job_.cancel, job_.paths.part, job_.paths.state);
  }

  // Streams one response body to installer.part through the one buffer.
  SetupResult<Body> store(HttpResponse& response, const ClassifiedResponse& c) {
    auto file = patiently(job_.fs, job_.cancel,
                          [&] { return job_.fs.open_file_write(job_.paths.part, c.offset != 0); });
    if (!file) return Failure{std::move(file).error()};
    if (c.offset == 0) {
      if (auto r = file->truncate(0); !r) return Failure{r.error()};
    }
    if (auto r = write_state(job_.fs, job_.cancel, job_.paths.state,
                             PartialState{c.validator, c.total});
        !r)
      return Failure{r.error()};

    Body body;
    while (!past_deadline()) {
      auto got = response.body->read(buffer_);
      if (!got) break;  // an interrupted body; what arrived is kept
      if (*got == 0) {
        body.clean = true;
        break;
      }
      if (c.offset + body.stored + *got > kMaxPackageSize ||
          (c.body_length && body.stored + *got > *c.body_length)) {
        file->close();  // before the reset opens it again
        if (auto r = reset(); !r) return Failure{r.error()};
        return fail(SetupErrorKind::InvalidPackageSize);
      }
      if (auto r = file->write_all(std::span<const std::uint8_t>(buffer_).first(*got)); !r)
        return Failure{r.error()};
      body.stored += *got;
      report(c.offset + body.stored, c.total);
      if (job_.cancel.load()) return fail(SetupErrorKind::DownloadCancelled);
    }
    if (auto r = file->flush(); !r) return Failure{r.error()};
    return body;
  }

  const DownloadJob& job_;
  std::function<std::chrono::steady_clock::duration()> elapsed_;
  std::vector<std::uint8_t> buffer_;
  std::chrono::steady_clock::time_point transport_deadline_;
  Attempts attempts_;
};

}  // namespace

SetupResult<void> download_installer(const DownloadJob& job) { return Loop(job).run(); }

}  // namespace nuvo

// What a server's answer to an installer request means for installer.part.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/limits.h"
#include "common/setup_error.h"
#include "http/transport.h"

namespace nuvo {


struct ClassifiedResponse {
  enum class Action {
    Store,         // write the body at `offset` (0: truncate first)
    Complete,      // the bytes on disk are already the whole file
    DiscardRetry,  // the answer does not fit what is kept: start over
    Fail,          // `failure`: DownloadFailed (retried) or InvalidPackageSize
  };
  Action action = Action::Fail;
  SetupErrorKind failure = SetupErrorKind::DownloadFailed;
  std::uint64_t offset = 0;
  std::optional<std::uint64_t> total;        // to record in resume.json
  std::optional<std::string> validator;      // to record in resume.json
  std::optional<std::uint64_t> body_length;  // bytes the body must hold, when known
};

// The response's own validator: an acceptable strong ETag, else an acceptable
// Last-Modified value, else none.
std::optional<std::string> response_validator(const HttpResponse& response);

// `offset` is the first byte requested (0 for a whole-file request);
// `stored_*` is what resume.json said before the request.
ClassifiedResponse classify_response(const HttpResponse& response, std::uint64_t offset,
                                     const std::optional<std::string>& stored_validator,
                                     std::optional<std::uint64_t> stored_total);

}  // namespace nuvo

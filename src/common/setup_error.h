// The failure kinds of the channel, cache, download and signature steps.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"

namespace nuvo {

// The order is the kind's number; each kind has one fixed message.
enum class SetupErrorKind : std::uint8_t {
  DownloadCancelled,
  DownloadDirBusy,
  ChannelMisconfigured,
  ManifestUnavailable,
  InvalidDownloadUrl,
  DownloadFailed,
  InvalidPackageSize,
  SignatureInvalid,
  SignedVersionMismatch,
  StorageFailed,
};

inline constexpr int kSetupErrorKindCount = 10;

std::string_view setup_error_message(SetupErrorKind kind);

struct SetupError {
  SetupErrorKind kind;
  // What the HTTP client or the operating system said. Kept for debugging,
  // never shown: users only ever see message().
  std::string detail;
  // The operating system refused because another program holds the file for
  // a moment (a virus scanner looking at a file just written): worth another
  // try. Set only by the cache file operations.
  bool transient = false;

  SetupError(SetupErrorKind k, std::string d = {}) : kind(k), detail(std::move(d)) {}
  std::string_view message() const { return setup_error_message(kind); }
  bool operator==(SetupErrorKind k) const { return kind == k; }
};

inline Failure<SetupError> fail(SetupErrorKind kind, std::string detail = {}) {
  return Failure<SetupError>{SetupError(kind, std::move(detail))};
}

template <class T>
using SetupResult = Result<T, SetupError>;

}  // namespace nuvo

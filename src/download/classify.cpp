#include "download/classify.h"

#include <algorithm>

#include "http/header_number.h"

namespace nuvo {
namespace {

using Action = ClassifiedResponse::Action;

constexpr std::size_t kMaxEtag = 1024;
constexpr std::size_t kMaxLastModified = 128;

// A header as the classification sees it: values count only when every byte
// is visible ASCII or a tab.
struct Header {
  bool present = false;
  bool usable = false;
  std::string_view value;
};

Header header_of(const HttpResponse& r, std::string_view name) {
  const auto value = r.header(name);
  if (!value) return {};
  const bool usable = std::all_of(value->begin(), value->end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c == '\t' || (c >= 0x20 && c <= 0x7E);
  });
  return {true, usable, *value};
}

ClassifiedResponse failure(SetupErrorKind kind) {
  ClassifiedResponse c;
  c.action = Action::Fail;
  c.failure = kind;
  return c;
}

ClassifiedResponse action(Action a) {
  ClassifiedResponse c;
  c.action = a;
  return c;
}

struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::uint64_t complete = 0;
};

// "bytes first-last/complete".
std::optional<ContentRange> parse_content_range(std::string_view v) {
  if (!v.starts_with("bytes ")) return std::nullopt;
  v.remove_prefix(6);
  const std::size_t dash = v.find('-');
  const std::size_t slash = v.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash)
    return std::nullopt;
  const auto first = parse_http_number(v.substr(0, dash));
  const auto last = parse_http_number(v.substr(dash + 1, slash - dash - 1));
  const auto complete = parse_http_number(v.substr(slash + 1));
  if (!first || !last || !complete) return std::nullopt;
  return ContentRange{*first, *last, *complete};
}

}  // namespace

std::optional<std::string> response_validator(const HttpResponse& response) {
  // Strong ETags only: a weak one ("W/...") does not start with a quote.
  const Header etag = header_of(response, "ETag");
  if (etag.usable && !etag.value.empty() && etag.value.size() <= kMaxEtag &&
      etag.value.front() == '"' && etag.value.back() == '"')
    return std::string(etag.value);
  const Header modified = header_of(response, "Last-Modified");
  if (modified.usable && !modified.value.empty() && modified.value.size() <= kMaxLastModified)
    return std::string(modified.value);
  return std::nullopt;
}

ClassifiedResponse classify_response(const HttpResponse& response, std::uint64_t offset,
                                     const std::optional<std::string>& stored_validator,
                                     std::optional<std::uint64_t> stored_total) {
  std::optional<std::uint64_t> length;
  if (const Header header = header_of(response, "Content-Length"); header.present) {
    if (header.usable) length = parse_http_number(header.value);
    if (!length) return failure(SetupErrorKind::DownloadFailed);
    if (*length > kMaxPackageSize) return failure(SetupErrorKind::InvalidPackageSize);
  }
  const auto validator = response_validator(response);

  switch (response.status) {
    case 200: {
      if (length == 0) return failure(SetupErrorKind::InvalidPackageSize);
      ClassifiedResponse c = action(Action::Store);
      c.offset = 0;
      c.total = length;
      c.body_length = length;
      c.validator = validator;
      return c;
    }
    case 206: {
      const Header header = header_of(response, "Content-Range");
      const auto range = header.usable ? parse_content_range(header.value) : std::nullopt;
      if (range && (range->complete == 0 || range->complete > kMaxPackageSize))
        return failure(SetupErrorKind::InvalidPackageSize);
      const bool fits =
          range && range->first == offset && range->first <= range->last &&
          range->last < range->complete &&
          (!length || *length == range->last - range->first + 1) &&
          (offset == 0 || ((!stored_total || *stored_total == range->complete) &&
                           (!validator || validator == stored_validator)));
      if (!fits) return action(Action::DiscardRetry);
      ClassifiedResponse c = action(Action::Store);
      c.offset = offset;
      c.total = range->complete;
      c.body_length = range->last - offset + 1;
      c.validator = validator ? validator : stored_validator;
      return c;
    }
    case 416: {
      const Header header = header_of(response, "Content-Range");
      std::optional<std::uint64_t> size;
      if (header.usable && header.value.starts_with("bytes */"))
        size = parse_http_number(header.value.substr(8));
      if (size && *size == offset && offset != 0 && stored_total == size && stored_validator)
        return action(Action::Complete);
      return action(Action::DiscardRetry);
    }
    default:
      return failure(SetupErrorKind::DownloadFailed);
  }
}

}  // namespace nuvo

// The URL parser, a state machine over the input's bytes, and the serializer.
#include "url/url.h"

#include <cstddef>
#include <utility>
#include <vector>

#include "common/ascii.h"
#include "common/utf.h"
#include "url/host.h"
#include "url/percent.h"

namespace nuvo {
namespace {

using url_detail::EncodeSet;
using url_detail::percent_encode;

// Input comes from the network: anything longer is refused outright.
constexpr std::size_t kMaxInputSize = std::size_t{1} << 20;

constexpr int kEof = -1;

struct SpecialScheme {
  std::string_view name;
  int default_port;  // -1: none
};
constexpr SpecialScheme kSpecialSchemes[] = {
    {"ftp", 21}, {"file", -1}, {"http", 80}, {"https", 443}, {"ws", 80}, {"wss", 443},
};

const SpecialScheme* find_special(std::string_view scheme) {
  for (const auto& s : kSpecialSchemes)
    if (s.name == scheme) return &s;
  return nullptr;
}

bool is_alpha(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Every URL this parser accepts is special, and there a backslash is a slash.
bool is_slash(int c) { return c == '/' || c == '\\'; }

// What ends the host, the port and a path segment.
bool ends_part(int c) { return c == kEof || is_slash(c) || c == '?' || c == '#'; }

bool is_single_dot(std::string_view s) { return s == "." || ascii_iequals(s, "%2e"); }

bool is_double_dot(std::string_view s) {
  return s == ".." || ascii_iequals(s, ".%2e") || ascii_iequals(s, "%2e.") ||
         ascii_iequals(s, "%2e%2e");
}

// "C:" or "C|", which file URLs treat as the root of a Windows path.
bool is_drive_letter(std::string_view s) {
  return s.size() == 2 && is_alpha(s[0]) && (s[1] == ':' || s[1] == '|');
}

bool is_normalized_drive_letter(std::string_view s) { return is_drive_letter(s) && s[1] == ':'; }

bool starts_with_drive_letter(std::string_view s) {
  return s.size() >= 2 && is_drive_letter(s.substr(0, 2)) && (s.size() == 2 || ends_part(s[2]));
}

// Leading and trailing C0 controls and spaces go, and so do tabs and newlines anywhere.
std::string strip(std::string_view input) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!input.empty() && blank(input.front())) input.remove_prefix(1);
  while (!input.empty() && blank(input.back())) input.remove_suffix(1);
  std::string out;
  out.reserve(input.size());
  for (const char c : input)
    if (c != '\t' && c != '\n' && c != '\r') out += c;
  return out;
}

// A special URL's serialized path holds no unencoded slash inside a segment, so this is exact.
std::vector<std::string> split_path(std::string_view path) {
  std::vector<std::string> segments;
  if (path.empty()) return segments;
  if (path.front() == '/') path.remove_prefix(1);
  for (;;) {
    const auto slash = path.find('/');
    segments.emplace_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return segments;
}

// Where the parser stands. Each state looks at one character, and may hand it on to the next
// state to look at again.
enum class State {
  kSchemeStart,                    // a letter here may start a scheme
  kScheme,                         // the scheme, up to ':'
  kNoScheme,                       // none found: a reference relative to the base
  kSpecialRelativeOrAuthority,     // "scheme:" that equals the base's: "//" or relative
  kSpecialAuthoritySlashes,        // after "scheme:", where "//" belongs
  kSpecialAuthorityIgnoreSlashes,  // any further slashes are skipped
  kRelative,                       // starts from the base's parts
  kRelativeSlash,                  // a relative reference that began with one slash
  kAuthority,                      // the userinfo, up to the last '@' before the path
  kHost,                           // the host, up to a ':' outside brackets or the path
  kPort,                           // the port's digits
  kFile,                           // after "file:", or relative to a file base
  kFileSlash,                      // after "file:/"
  kFileHost,                       // after "file://": the host, or a drive letter
  kPathStart,                      // the path's first slash
  kPath,                           // one path segment at a time
  kQuery,                          // after '?'
  kFragment,                       // after '#'
};

class Parser {
 public:
  Parser(std::string input, const Url* base) : input_(std::move(input)), base_(base) {}

  std::optional<Url> run();

 private:
  // The one place the state changes. `reprocess` hands the current character to `next`.
  void go(State next, bool reprocess = false) {
    state_ = next;
    if (reprocess) --pointer_;
  }

  int at(std::ptrdiff_t i) const {
    return i >= 0 && i < size() ? static_cast<unsigned char>(input_[i]) : kEof;
  }
  std::ptrdiff_t size() const { return static_cast<std::ptrdiff_t>(input_.size()); }
  std::string_view rest() const { return std::string_view(input_).substr(pointer_); }
  bool base_is_file() const { return base_ && base_->scheme == "file"; }

  // Each returns false when the input does not parse.
  bool step(int c);
  bool scheme(int c);
  bool no_scheme();
  void relative(int c);
  bool authority(int c);
  bool host(int c);
  bool port(int c);
  void file(int c);
  void file_slash(int c);
  bool file_host(int c);
  void path(int c);

  bool set_host_from_buffer();
  void take_authority_from_base();
  void shorten_path();

  const std::string input_;
  const Url* const base_;
  std::ptrdiff_t pointer_ = 0;
  State state_ = State::kSchemeStart;
  std::string buffer_;
  bool at_sign_seen_ = false;
  bool inside_brackets_ = false;
  bool password_token_seen_ = false;

  const SpecialScheme* special_ = nullptr;
  Url url_;  // all but the path, which is kept in segments until the end
  std::vector<std::string> path_;
};

std::optional<Url> Parser::run() {
  for (;;) {
    if (!step(at(pointer_))) return std::nullopt;
    if (pointer_ >= size()) break;
    ++pointer_;
  }
  for (const auto& segment : path_) {
    url_.path += '/';
    url_.path += segment;
  }
  return std::move(url_);
}

bool Parser::step(int c) {
  switch (state_) {
    case State::kSchemeStart:
      if (is_alpha(c)) {
        buffer_ += ascii_lower(static_cast<char>(c));
        go(State::kScheme);
      } else {
        go(State::kNoScheme, true);
      }
      return true;
    case State::kScheme:
      return scheme(c);
    case State::kNoScheme:
      return no_scheme();
    case State::kSpecialRelativeOrAuthority:
      if (c == '/' && at(pointer_ + 1) == '/') {
        ++pointer_;
        go(State::kSpecialAuthorityIgnoreSlashes);
      } else {
        go(State::kRelative, true);
      }
      return true;
    case State::kSpecialAuthoritySlashes:
      if (c == '/' && at(pointer_ + 1) == '/') {
        ++pointer_;
        go(State::kSpecialAuthorityIgnoreSlashes);
      } else {
        go(State::kSpecialAuthorityIgnoreSlashes, true);
      }
      return true;
    case State::kSpecialAuthorityIgnoreSlashes:
      if (!is_slash(c)) go(State::kAuthority, true);
      return true;
    case State::kRelative:
      relative(c);
      return true;
    case State::kRelativeSlash:
      if (is_slash(c)) {
        go(State::kSpecialAuthorityIgnoreSlashes);
      } else {
        take_authority_from_base();
        go(State::kPath, true);
      }
      return true;
    case State::kAuthority:
      return authority(c);
    case State::kHost:
      return host(c);
    case State::kPort:
      return port(c);
    case State::kFile:
      file(c);
      return true;
    case State::kFileSlash:
      file_slash(c);
      return true;
    case State::kFileHost:
      return file_host(c);
    case State::kPathStart:
      go(State::kPath, !is_slash(c));
      return true;
    case State::kPath:
      path(c);
      return true;
    case State::kQuery:
      if (c == '#') {
        url_.fragment.emplace();
        go(State::kFragment);
      } else if (c != kEof) {
        // Bytes of a multi-byte character are all above '~' and each gets encoded on its own.
        percent_encode(*url_.query, static_cast<char>(c), EncodeSet::kSpecialQuery);
      }
      return true;
    case State::kFragment:
      if (c != kEof) percent_encode(*url_.fragment, static_cast<char>(c), EncodeSet::kFragment);
      return true;
  }
  return false;
}

bool Parser::scheme(int c) {
  if (is_alpha(c) || is_digit(c) || c == '+' || c == '-' || c == '.') {
    buffer_ += ascii_lower(static_cast<char>(c));
    return true;
  }
  if (c != ':') {
    // Not a scheme after all: start over from the first character.
    buffer_.clear();
    pointer_ = -1;
    go(State::kNoScheme);
    return true;
  }
  special_ = find_special(buffer_);
  // Other schemes ("mailto:", "data:", ...) are of no use to the installer and do not parse.
  if (!special_) return false;
  url_.scheme = buffer_;
  buffer_.clear();
  if (url_.scheme == "file") {
    go(State::kFile);
  } else if (base_ && base_->scheme == url_.scheme) {
    go(State::kSpecialRelativeOrAuthority);
  } else {
    go(State::kSpecialAuthoritySlashes);
  }
  return true;
}

bool Parser::no_scheme() {
  // A relative reference needs a base, and only bases of the special schemes are supported.
  special_ = base_ ? find_special(base_->scheme) : nullptr;
  if (!special_) return false;
  go(base_is_file() ? State::kFile : State::kRelative, true);
  return true;
}

void Parser::relative(int c) {
  url_.scheme = base_->scheme;
  if (is_slash(c)) {
    go(State::kRelativeSlash);
    return;
  }
  take_authority_from_base();
  path_ = split_path(base_->path);
  url_.query = base_->query;
  if (c == '?') {
    url_.query.emplace();
    go(State::kQuery);
  } else if (c == '#') {
    url_.fragment.emplace();
    go(State::kFragment);
  } else if (c != kEof) {
    url_.query.reset();
    shorten_path();
    go(State::kPath, true);
  }
}

bool Parser::authority(int c) {
  if (c == '@') {
    // Only the last '@' ends the userinfo; earlier ones belong to it.
    if (at_sign_seen_) buffer_.insert(0, "%40");
    at_sign_seen_ = true;
    for (const char b : buffer_) {
      if (b == ':' && !password_token_seen_) {
        password_token_seen_ = true;
        continue;
      }
      percent_encode(password_token_seen_ ? url_.password : url_.username, b, EncodeSet::kUserinfo);
    }
    buffer_.clear();
  } else if (ends_part(c)) {
    if (at_sign_seen_ && buffer_.empty()) return false;
    // No '@' left: what was collected is the host; read it again as such.
    pointer_ -= static_cast<std::ptrdiff_t>(buffer_.size()) + 1;
    buffer_.clear();
    go(State::kHost);
  } else {
    buffer_ += static_cast<char>(c);
  }
  return true;
}

bool Parser::host(int c) {
  if (c == ':' && !inside_brackets_) {
    if (buffer_.empty() || !set_host_from_buffer()) return false;
    go(State::kPort);
  } else if (ends_part(c)) {
    if (buffer_.empty() || !set_host_from_buffer()) return false;
    go(State::kPathStart, true);
  } else {
    if (c == '[') inside_brackets_ = true;
    if (c == ']') inside_brackets_ = false;
    buffer_ += static_cast<char>(c);
  }
  return true;
}

bool Parser::port(int c) {
  if (is_digit(c)) {
    buffer_ += static_cast<char>(c);
    return true;
  }
  if (!ends_part(c)) return false;
  if (!buffer_.empty()) {
    long value = 0;
    for (const char d : buffer_) {
      value = value * 10 + (d - '0');
      if (value > 65535) return false;
    }
    if (value != special_->default_port) url_.port = static_cast<std::uint16_t>(value);
    buffer_.clear();
  }
  go(State::kPathStart, true);
  return true;
}

void Parser::file(int c) {
  url_.scheme = "file";
  url_.host.emplace();
  if (is_slash(c)) {
    go(State::kFileSlash);
    return;
  }
  if (!base_is_file()) {
    go(State::kPath, true);
    return;
  }
  url_.host = base_->host;
  path_ = split_path(base_->path);
  url_.query = base_->query;
  if (c == '?') {
    url_.query.emplace();
    go(State::kQuery);
  } else if (c == '#') {
    url_.fragment.emplace();
    go(State::kFragment);
  } else if (c != kEof) {
    url_.query.reset();
    // A drive letter starts a new absolute path rather than one relative to the base's.
    if (starts_with_drive_letter(rest())) {
      path_.clear();
    } else {
      shorten_path();
    }
    go(State::kPath, true);
  }
}

void Parser::file_slash(int c) {
  if (is_slash(c)) {
    go(State::kFileHost);
    return;
  }
  if (base_is_file()) {
    url_.host = base_->host;
    // "/x" against "file:///C:/y" stays on drive C:.
    if (!starts_with_drive_letter(rest())) {
      const auto base_path = split_path(base_->path);
      if (!base_path.empty() && is_normalized_drive_letter(base_path[0]))
        path_.push_back(base_path[0]);
    }
  }
  go(State::kPath, true);
}

bool Parser::file_host(int c) {
  if (!ends_part(c)) {
    buffer_ += static_cast<char>(c);
    return true;
  }
  if (is_drive_letter(buffer_)) {
    // "file://C:/x" has no host: the buffer is kept and becomes the first path segment.
    go(State::kPath, true);
    return true;
  }
  if (buffer_.empty()) {
    url_.host.emplace();
  } else {
    if (!set_host_from_buffer()) return false;
    if (url_.host == "localhost") url_.host.emplace();
  }
  go(State::kPathStart, true);
  return true;
}

void Parser::path(int c) {
  if (!ends_part(c)) {
    percent_encode(buffer_, static_cast<char>(c), EncodeSet::kPath);
    return;
  }
  const bool slash = is_slash(c);
  if (is_double_dot(buffer_)) {
    shorten_path();
    if (!slash) path_.emplace_back();
  } else if (is_single_dot(buffer_)) {
    if (!slash) path_.emplace_back();
  } else {
    if (url_.scheme == "file" && path_.empty() && is_drive_letter(buffer_)) buffer_[1] = ':';
    path_.push_back(std::move(buffer_));
  }
  buffer_.clear();
  if (c == '?') {
    url_.query.emplace();
    go(State::kQuery);
  } else if (c == '#') {
    url_.fragment.emplace();
    go(State::kFragment);
  }
}

bool Parser::set_host_from_buffer() {
  auto parsed = url_detail::parse_host(buffer_);
  if (!parsed) return false;
  url_.host = std::move(*parsed);
  buffer_.clear();
  return true;
}

void Parser::take_authority_from_base() {
  url_.username = base_->username;
  url_.password = base_->password;
  url_.host = base_->host;
  url_.port = base_->port;
}

void Parser::shorten_path() {
  // ".." never climbs above a file URL's drive letter.
  if (url_.scheme == "file" && path_.size() == 1 && is_normalized_drive_letter(path_[0])) return;
  if (!path_.empty()) path_.pop_back();
}

}  // namespace

std::optional<Url> parse_url(std::string_view input, const Url* base) {
  if (input.size() > kMaxInputSize || !is_valid_utf8(input)) return std::nullopt;
  return Parser(strip(input), base).run();
}

std::string Url::href() const {
  std::string out = scheme + ":";
  if (host) {
    out += "//";
    if (!username.empty() || !password.empty()) {
      out += username;
      if (!password.empty()) out += ":" + password;
      out += '@';
    }
    out += *host;
    if (port) out += ":" + std::to_string(*port);
  } else if (path.size() > 1 && path[0] == '/' && path[1] == '/') {
    // Without a host, "//" would read back as the start of one.
    out += "/.";
  }
  out += path;
  if (query) out += "?" + *query;
  if (fragment) out += "#" + *fragment;
  return out;
}

}  // namespace nuvo

// Host parsing: ASCII domains, IPv4 in its numeric forms, IPv6 and their serializations.
#include "url/host.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "common/ascii.h"
#include "url/percent.h"

namespace nuvo::url_detail {
namespace {

// IPv4 parts may be arbitrarily long; their values saturate here, where any address fails anyway.
constexpr std::uint64_t kSaturated = std::uint64_t{1} << 33;

// Forbidden in a domain besides the C0 controls, DEL and everything outside ASCII.
constexpr std::string_view kForbiddenInDomain = " #%/:<>?@[\\]^|";

int digit_value(char c, unsigned radix) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v < static_cast<int>(radix) ? v : -1;
}

// One dotted part of an IPv4 address: decimal, hexadecimal after "0x" or octal after a leading 0.
// "0x" alone is 0.
std::optional<std::uint64_t> parse_ipv4_number(std::string_view part) {
  if (part.empty()) return std::nullopt;
  unsigned radix = 10;
  if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    part.remove_prefix(2);
    radix = 16;
  } else if (part.size() >= 2 && part[0] == '0') {
    part.remove_prefix(1);
    radix = 8;
  }
  std::uint64_t value = 0;
  for (const char c : part) {
    const int d = digit_value(c, radix);
    if (d < 0) return std::nullopt;
    value = std::min(value * radix + static_cast<unsigned>(d), kSaturated);
  }
  return value;
}

// A domain whose last label (ignoring one trailing dot) is a number is meant as an IPv4 address
// and must then parse as one: "foo.09" fails where "09.foo" is a domain.
bool ends_in_a_number(std::string_view domain) {
  if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
  const auto dot = domain.rfind('.');
  const std::string_view last = dot == std::string_view::npos ? domain : domain.substr(dot + 1);
  if (!last.empty() &&
      std::all_of(last.begin(), last.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return true;
  return parse_ipv4_number(last).has_value();
}

// One to four parts; all but the last are bytes and the last fills the remaining bytes.
std::optional<std::uint32_t> parse_ipv4(std::string_view text) {
  if (!text.empty() && text.back() == '.') text.remove_suffix(1);
  std::array<std::uint64_t, 4> numbers{};
  std::size_t count = 0;
  for (;;) {
    if (count == numbers.size()) return std::nullopt;
    const auto dot = text.find('.');
    const auto number = parse_ipv4_number(text.substr(0, dot));
    if (!number) return std::nullopt;
    numbers[count++] = *number;
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);
  }
  std::uint64_t address = 0;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    if (numbers[i] > 255) return std::nullopt;
    address |= numbers[i] << (8 * (3 - i));
  }
  const std::uint64_t last = numbers[count - 1];
  if (last >= (std::uint64_t{1} << (8 * (5 - count)))) return std::nullopt;
  return static_cast<std::uint32_t>(address + last);
}

std::string serialize_ipv4(std::uint32_t address) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    out += std::to_string((address >> shift) & 0xFF);
    if (shift > 0) out += '.';
  }
  return out;
}

using Ipv6 = std::array<std::uint16_t, 8>;

// Eight hex pieces, one "::" for a run of zeros, and optionally a dotted IPv4 address in place of
// the last two pieces.
std::optional<Ipv6> parse_ipv6(std::string_view text) {
  Ipv6 address{};
  std::size_t piece = 0;
  std::optional<std::size_t> compress;
  std::size_t i = 0;
  const auto at = [&](std::size_t k) { return k < text.size() ? text[k] : '\0'; };
  if (at(0) == ':') {
    if (at(1) != ':') return std::nullopt;
    i = 2;
    compress = ++piece;
  }
  while (i < text.size()) {
    if (piece == 8) return std::nullopt;
    if (at(i) == ':') {
      if (compress) return std::nullopt;
      ++i;
      compress = ++piece;
      continue;
    }
    unsigned value = 0;
    std::size_t length = 0;
    while (length < 4 && digit_value(at(i), 16) >= 0) {
      value = value * 16 + static_cast<unsigned>(digit_value(at(i), 16));
      ++i;
      ++length;
    }
    if (at(i) == '.') {
      if (length == 0 || piece > 6) return std::nullopt;
      i -= length;
      int numbers_seen = 0;
      while (i < text.size()) {
        if (numbers_seen > 0) {
          if (at(i) != '.' || numbers_seen >= 4) return std::nullopt;
          ++i;
        }
        if (digit_value(at(i), 10) < 0) return std::nullopt;
        int number = -1;
        while (digit_value(at(i), 10) >= 0) {
          const int d = digit_value(at(i), 10);
          if (number == 0) return std::nullopt;  // no leading zeros
          number = number < 0 ? d : number * 10 + d;
          if (number > 255) return std::nullopt;
          ++i;
        }
        address[piece] = static_cast<std::uint16_t>(address[piece] * 0x100 + number);
        ++numbers_seen;
        if (numbers_seen == 2 || numbers_seen == 4) ++piece;
      }
      if (numbers_seen != 4) return std::nullopt;
      break;
    }
    if (at(i) == ':') {
      ++i;
      if (i == text.size()) return std::nullopt;
    } else if (i < text.size()) {
      return std::nullopt;
    }
    address[piece++] = static_cast<std::uint16_t>(value);
  }
  if (compress) {
    // Move the pieces after "::" to the end; zeros fill the gap.
    std::size_t swaps = piece - *compress;
    for (piece = 7; piece != 0 && swaps > 0; --piece, --swaps)
      std::swap(address[piece], address[*compress + swaps - 1]);
  } else if (piece != 8) {
    return std::nullopt;
  }
  return address;
}

// Lower-case hex pieces; the first longest run of two or more zero pieces becomes "::".
std::string serialize_ipv6(const Ipv6& address) {
  std::size_t best_start = 8, best_length = 1;
  for (std::size_t i = 0; i < 8;) {
    std::size_t j = i;
    while (j < 8 && address[j] == 0) ++j;
    if (j - i > best_length) best_start = i, best_length = j - i;
    i = j == i ? i + 1 : j;
  }
  constexpr std::string_view kHex = "0123456789abcdef";
  std::string out = "[";
  for (std::size_t i = 0; i < 8; ++i) {
    if (i == best_start) {
      out += i == 0 ? "::" : ":";
      i += best_length - 1;
      continue;
    }
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned nibble = (address[i] >> shift) & 0xF;
      if (nibble == 0 && !started && shift > 0) continue;
      started = true;
      out += kHex[nibble];
    }
    if (i != 7) out += ':';
  }
  out += ']';
  return out;
}

}  // namespace

std::optional<std::string> parse_host(std::string_view text) {
  if (!text.empty() && text.front() == '[') {
    if (text.size() < 2 || text.back() != ']') return std::nullopt;
    const auto address = parse_ipv6(text.substr(1, text.size() - 2));
    if (!address) return std::nullopt;
    return serialize_ipv6(*address);
  }
  std::string domain = percent_decode(text);
  // Mapping a domain outside ASCII to punycode takes Unicode's IDNA tables and normalization, and
  // every host this installer talks to is ASCII: such hosts do not parse. ASCII "xn--" labels are
  // kept as they are, lower-cased, without checking that they decode.
  for (char& c : domain) {
    const auto b = static_cast<std::uint8_t>(c);
    if (b < 0x20 || b >= 0x7F || kForbiddenInDomain.find(c) != std::string_view::npos)
      return std::nullopt;
    c = ascii_lower(c);
  }
  if (!ends_in_a_number(domain)) return domain;
  const auto address = parse_ipv4(domain);
  if (!address) return std::nullopt;
  return serialize_ipv4(*address);
}

}  // namespace nuvo::url_detail

// The percent-encode sets and percent-decoding.
#include "url/percent.h"

#include <cstdint>

namespace nuvo::url_detail {
namespace {

// The printable bytes each set holds besides the C0 controls and the bytes above '~'.
constexpr std::string_view kFragmentExtra = " \"<>`";
constexpr std::string_view kQueryExtra = " \"#<>";
constexpr std::string_view kSpecialQueryExtra = " \"#<>'";
constexpr std::string_view kPathExtra = " \"#<>?`{}";
constexpr std::string_view kUserinfoExtra = " \"#<>?`{}/:;=@[\\]^|";

std::string_view extra(EncodeSet set) {
  switch (set) {
    case EncodeSet::kC0Control:
      return {};
    case EncodeSet::kFragment:
      return kFragmentExtra;
    case EncodeSet::kQuery:
      return kQueryExtra;
    case EncodeSet::kSpecialQuery:
      return kSpecialQueryExtra;
    case EncodeSet::kPath:
      return kPathExtra;
    case EncodeSet::kUserinfo:
      return kUserinfoExtra;
  }
  return {};
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void percent_encode(std::string& out, char byte, EncodeSet set) {
  const auto b = static_cast<std::uint8_t>(byte);
  if (b >= 0x20 && b <= 0x7E && extra(set).find(byte) == std::string_view::npos) {
    out += byte;
    return;
  }
  constexpr std::string_view kHex = "0123456789ABCDEF";
  out += '%';
  out += kHex[b >> 4];
  out += kHex[b & 0xF];
}

std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const int high = i + 2 < text.size() && text[i] == '%' ? hex_value(text[i + 1]) : -1;
    const int low = high >= 0 ? hex_value(text[i + 2]) : -1;
    if (low < 0) {
      out += text[i];
      continue;
    }
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

}  // namespace nuvo::url_detail

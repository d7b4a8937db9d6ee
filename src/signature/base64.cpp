#include "signature/base64.h"

#include <array>
#include <cstdint>

#include "common/utf.h"

namespace nuvo {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> make_reverse() {
  std::array<std::int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i)
    table[static_cast<std::uint8_t>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return table;
}
constexpr auto kReverse = make_reverse();

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::string encode_base64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v = (static_cast<std::uint8_t>(bytes[i]) << 16) |
                            (static_cast<std::uint8_t>(bytes[i + 1]) << 8) |
                            static_cast<std::uint8_t>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (last && k >= 4 - pad) {
        v <<= 6;
        continue;
      }
      const std::int8_t d = kReverse[static_cast<std::uint8_t>(c)];
      if (d < 0) return std::nullopt;
      v = (v << 6) | static_cast<std::uint32_t>(d);
    }
    const std::size_t produce = last ? 3 - pad : 3;
    // Canonical form: the bits below the last produced byte must be zero.
    if (last && pad > 0 && (v & ((1u << (8 * pad)) - 1)) != 0) return std::nullopt;
    out += static_cast<char>(v >> 16);
    if (produce > 1) out += static_cast<char>((v >> 8) & 0xFF);
    if (produce > 2) out += static_cast<char>(v & 0xFF);
  }
  return out;
}

std::optional<std::string> decode_base64_envelope(std::string_view text, std::size_t limit) {
  if (text.empty() || text.size() > limit) return std::nullopt;
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  auto decoded = decode_base64(text);
  if (!decoded || !is_valid_utf8(*decoded)) return std::nullopt;
  return decoded;
}

}  // namespace nuvo

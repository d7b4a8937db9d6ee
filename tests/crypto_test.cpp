#include "signature/crypto.h"

#include <gtest/gtest.h>

#include "signature/base64.h"
#include "test_support.h"

namespace nuvo::crypto {
namespace {

struct Legacy {
  Ed25519PublicKey key;
  Ed25519Signature signature;
};

// Key and signature of the small legacy fixture, as raw bytes.
Legacy small_legacy() {
  const std::string pub = test::read_fixture("dev.pub");
  const std::string sig = test::read_fixture("small.legacy.minisig");
  const auto line = [](const std::string& text, int index) {
    std::size_t start = 0;
    for (int i = 0; i < index; ++i) start = text.find('\n', start) + 1;
    return text.substr(start, text.find('\n', start) - start);
  };
  const std::string key_bytes = *decode_base64(line(pub, 1));
  const std::string sig_bytes = *decode_base64(line(sig, 1));
  Legacy out{};
  std::copy_n(key_bytes.data() + 10, 32, out.key.data());
  std::copy_n(sig_bytes.data() + 10, 64, out.signature.data());
  return out;
}

// What minisign refuses besides a wrong signature: non-canonical encodings
// and points of small order.
TEST(Ed25519, RefusesWhatMinisignRefuses) {
  const Legacy good = small_legacy();
  const std::string text = test::read_fixture("small.bin");
  std::vector<std::uint8_t> message(text.begin(), text.end());
  std::vector<std::uint8_t> flipped = message;
  flipped[500] ^= 0x40;

  Legacy bad_r = good;
  bad_r.signature[3] ^= 1;
  Legacy bad_s = good;
  bad_s.signature[40] ^= 1;
  Legacy s_plus_order = good;  // S + L: the same scalar, not canonical
  {
    const std::uint8_t order[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58,
                                    0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
                                    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10};
    unsigned carry = 0;
    for (int i = 0; i < 32; ++i) {
      const unsigned sum = s_plus_order.signature[32 + i] + order[i] + carry;
      s_plus_order.signature[32 + i] = static_cast<std::uint8_t>(sum);
      carry = sum >> 8;
    }
  }
  Legacy zero_key = good;
  zero_key.key.fill(0);  // a point of small order
  Legacy identity_r = good;
  identity_r.signature.fill(0);
  identity_r.signature[0] = 1;

  const struct {
    const char* name;
    const Legacy& sig;
    const std::vector<std::uint8_t>& message;
    bool expected;
  } cases[] = {
      {"valid", good, message, true},
      {"message changed", good, flipped, false},
      {"R changed", bad_r, message, false},
      {"S changed", bad_s, message, false},
      {"S not canonical", s_plus_order, message, false},
      {"small-order key", zero_key, message, false},
      {"small-order R", identity_r, message, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ed25519_verify(c.sig.key, c.message, c.sig.signature), c.expected) << c.name;
  }
}

TEST(Digests, KnownAnswers) {
  const auto hex = [](std::span<const std::uint8_t> bytes) {
    std::string out;
    for (const auto b : bytes) {
      out += "0123456789abcdef"[b >> 4];
      out += "0123456789abcdef"[b & 15];
    }
    return out;
  };
  EXPECT_EQ(hex(sha256("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Blake2b512 b;
  b.update(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>("abc"), 3));
  EXPECT_EQ(hex(b.finish()),
            "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
            "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923");
}

}  // namespace
}  // namespace nuvo::crypto

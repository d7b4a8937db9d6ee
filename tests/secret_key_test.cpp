#include "signature/secret_key.h"

#include <gtest/gtest.h>

#include "signature/base64.h"
#include "test_support.h"

namespace nuvo {
namespace {

// dev.key (written by minisign -G -W) with its decoded key line changed.
std::string dev_key_with(const std::function<void(std::string&)>& change) {
  const std::string file = test::read_fixture("dev.key");
  const auto first = file.substr(0, file.find('\n'));
  const auto second =
      file.substr(first.size() + 1, file.find('\n', first.size() + 1) - first.size() - 1);
  std::string raw = *decode_base64(second);
  change(raw);
  return first + "\n" + encode_base64(raw) + "\n";
}

TEST(SecretKey, ReadsMinisignKeysAndNamesEachFault) {
  constexpr std::size_t kKdf = 2, kChecksumAlgorithm = 4, kOps = 38, kMem = 46, kKeyId = 54,
                        kPublicHalf = 54 + 8 + 32, kChecksum = 54 + 8 + 64;
  const auto recorded_checksum = [](std::string& raw) {
    std::string covered = raw.substr(0, 2) + raw.substr(kKeyId, 8 + 64);
    const auto sum =
        crypto::blake2b256({reinterpret_cast<const std::uint8_t*>(covered.data()), covered.size()});
    raw.replace(kChecksum, 32, reinterpret_cast<const char*>(sum.data()), 32);
  };
  const auto damaged = SecretKeyError::Damaged;
  const struct {
    const char* name;
    std::string file;
    std::optional<SecretKeyError> expected;
  } cases[] = {
      {"as minisign -G -W writes it", test::read_fixture("dev.key"), std::nullopt},
      {"with its checksum recorded", dev_key_with(recorded_checksum), std::nullopt},
      {"checksum that fails", dev_key_with([](std::string& r) { r[kChecksum] ^= 1; }),
       SecretKeyError::ChecksumMismatch},
      {"public half of another key", dev_key_with([](std::string& r) { r[kPublicHalf] ^= 1; }),
       SecretKeyError::HalvesDiffer},
      {"public half no curve point",
       dev_key_with([](std::string& r) { r.replace(kPublicHalf + 20, 12, std::string(12, '\0')); }),
       SecretKeyError::HalvesDiffer},
      {"one line", test::read_fixture("dev.key").substr(0, 40), damaged},
      {"a public key", test::read_fixture("dev.pub"), damaged},
      {"one byte short", dev_key_with([](std::string& r) { r.pop_back(); }), damaged},
      {"unknown signature algorithm", dev_key_with([](std::string& r) { r[1] = 'x'; }), damaged},
      {"unknown key derivation", dev_key_with([](std::string& r) { r[kKdf] = 'X'; }), damaged},
      {"unknown checksum", dev_key_with([](std::string& r) { r[kChecksumAlgorithm + 1] = '3'; }),
       damaged},
      {"scrypt wanting 2 GiB", dev_key_with([](std::string& r) {
         r.replace(kKdf, 2, "Sc");
         r.replace(kOps, 8, std::string("\x00\x00\x00\x04\x00\x00\x00\x00", 8));
         r.replace(kMem, 8, std::string("\x00\x00\x00\x80\x00\x00\x00\x00", 8));
       }),
       damaged},
  };
  const auto dev_pub = *parse_public_key(test::fixture_base64("dev.pub"));
  for (const auto& c : cases) {
    auto sealed = parse_secret_key(c.file);
    auto key = sealed ? open_secret_key(*sealed, "")
                      : Result<SecretKey, SecretKeyError>(Failure{sealed.error()});
    if (c.expected) {
      ASSERT_FALSE(key) << c.name;
      EXPECT_EQ(key.error(), *c.expected) << c.name;
    } else {
      ASSERT_TRUE(key) << c.name;
      EXPECT_EQ(key->key_id, dev_pub.key_id) << c.name;
      EXPECT_EQ(key->public_key, dev_pub.key) << c.name;
    }
  }
}

TEST(SecretKey, ScryptParametersOfMinisignKeys) {
  // minisign's "sensitive" limits: N = 2^20, p = 1, 1 GiB.
  const auto p = scrypt_parameters(33554432, 1073741824);
  EXPECT_EQ(p.cost, 1u << 20);
  EXPECT_EQ(p.parallelism, 1u);
}

}  // namespace
}  // namespace nuvo

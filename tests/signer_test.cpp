#include "signature/signer.h"

#include <gtest/gtest.h>

#include "signature/base64.h"
#include "test_support.h"

namespace nuvo {
namespace {

// Ed25519 is deterministic: with the same key, file and trusted comment our
// signature must be minisign's own, byte for byte (package.minisig).
TEST(Signer, MakesMinisignsSignature) {
  auto key = open_secret_key(*parse_secret_key(test::read_fixture("dev.key")), "");
  ASSERT_TRUE(key);
  auto file = ReadOnlyFile::open(test::fixture_path("package.bin"));
  ASSERT_TRUE(file);
  const auto digest = digest_stream(*file, kMaxPackageSize);
  ASSERT_TRUE(digest);

  const std::string theirs = test::read_fixture("package.minisig");
  const auto comment_at = theirs.find("\ntrusted comment: ") + 18;
  const auto comment = theirs.substr(comment_at, theirs.find('\n', comment_at) - comment_at);
  const auto ours = sign_digest(*key, *digest, comment);
  ASSERT_TRUE(ours);
  EXPECT_EQ(ours->substr(ours->find('\n')), theirs.substr(theirs.find('\n')));

  const auto prepared =
      prepare_signature(encode_base64(*ours), test::fixture_base64("dev.pub"), "1.4.2");
  ASSERT_TRUE(prepared);
  const std::atomic<bool> never{false};
  EXPECT_TRUE(verify_file(*prepared, test::fixture_path("package.bin"), never));

  EXPECT_FALSE(sign_digest(*key, *digest, "version:1.4.2\ntrusted comment: version:9.9.9"));
}

TEST(Signer, DigestStopsPastTheLimit) {
  auto file = ReadOnlyFile::open(test::fixture_path("package.bin"));
  ASSERT_TRUE(file);
  const auto digest = digest_stream(*file, 1000);
  ASSERT_FALSE(digest);
  EXPECT_EQ(digest.error().kind, SetupErrorKind::InvalidPackageSize);
}

}  // namespace
}  // namespace nuvo

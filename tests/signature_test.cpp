#include "signature/signature.h"

#include <gtest/gtest.h>

#include "signature/base64.h"
#include "test_support.h"

namespace nuvo {
namespace {

using test::fixture_base64;
using test::fixture_path;
using test::read_fixture;

constexpr std::string_view kVersion = "1.4.2";

std::string dev_key() { return fixture_base64("dev.pub"); }

std::optional<SetupErrorKind> prepare_error(const std::string& sig_text, std::string_view version,
                                            const std::string& key) {
  auto r = prepare_signature(sig_text, key, version);
  if (r) return std::nullopt;
  return r.error().kind;
}

// The decoded minisig text with one line replaced.
std::string with_line(const std::string& minisig, std::size_t index, const std::string& line) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < minisig.size()) {
    const std::size_t lf = minisig.find('\n', start);
    lines.push_back(minisig.substr(start, lf - start));
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
  lines.at(index) = line;
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

TEST(PrepareSignature, ScreensTheText) {
  const std::string minisig = read_fixture("package.minisig");
  const std::string good = encode_base64(minisig);
  const std::string key = dev_key();
  const auto sig_line = minisig.substr(minisig.find('\n') + 1, 100);  // line 2
  const auto decoded_sig = *decode_base64(sig_line.substr(0, sig_line.find('\n')));

  const auto invalid = SetupErrorKind::SignatureInvalid;
  const auto mismatch = SetupErrorKind::SignedVersionMismatch;
  const struct {
    const char* name;
    std::string text;
    std::string_view version;
    std::string key;
    std::optional<SetupErrorKind> expected;
  } cases[] = {
      {"published form", good, kVersion, key, std::nullopt},
      {"trailing line feed", good + "\n", kVersion, key, std::nullopt},
      {"surrounding blanks", "  " + good + "  ", kVersion, key, std::nullopt},
      {"CRLF line breaks", encode_base64(with_line(minisig, 0, "untrusted comment: x\r")), kVersion,
       key, std::nullopt},
      {"legacy", fixture_base64("package.legacy.minisig"), kVersion, key, std::nullopt},
      {"break inside the base64", good.substr(0, 40) + "\n" + good.substr(40), kVersion, key, invalid},
      {"not base64", "@@@@", kVersion, key, invalid},
      {"empty", "", kVersion, key, invalid},
      {"8193 bytes", good + std::string(8193 - good.size(), ' '), kVersion, key, invalid},
      {"8192 bytes", good + std::string(8192 - good.size(), ' '), kVersion, key, std::nullopt},
      {"raw minisig instead of base64", minisig, kVersion, key, invalid},
      {"not UTF-8", encode_base64(minisig + "\xff"), kVersion, key, invalid},
      {"three lines", encode_base64(minisig.substr(0, minisig.rfind('\n', minisig.size() - 2))),
       kVersion, key, invalid},
      {"five lines", encode_base64(minisig + "extra\n"), kVersion, key, invalid},
      {"no untrusted comment", encode_base64(with_line(minisig, 0, "comment: x")), kVersion, key,
       invalid},
      {"untrusted prefix without blank", encode_base64(with_line(minisig, 0, "untrusted comment:")),
       kVersion, key, invalid},
      {"no trusted comment",
       encode_base64(with_line(minisig, 2, "trusted: version:1.4.2")), kVersion, key, invalid},
      {"signature line not base64", encode_base64(with_line(minisig, 1, "RU*F")), kVersion, key,
       invalid},
      {"signature too short", encode_base64(with_line(minisig, 1, encode_base64(decoded_sig.substr(0, 73)))),
       kVersion, key, invalid},
      {"unknown algorithm",
       encode_base64(with_line(minisig, 1, encode_base64("EX" + decoded_sig.substr(2)))), kVersion,
       key, invalid},
      {"global signature too short", encode_base64(with_line(minisig, 3, encode_base64(std::string(63, 'a')))),
       kVersion, key, invalid},
      {"another version", good, "1.4.3", key, mismatch},
      {"version with a leading v", good, "v1.4.2", key, mismatch},
      {"version prefix only", good, "1.4", key, mismatch},
      {"no version field", fixture_base64("package.no-version.minisig"), kVersion, key, mismatch},
      {"two version fields", fixture_base64("package.two-versions.minisig"), kVersion, key, mismatch},
      {"blank after version:", fixture_base64("package.spaced-version.minisig"), kVersion, key,
       mismatch},
      {"bad public key", good, kVersion, "Zm9v", invalid},
      {"public key with three lines", good, kVersion,
       encode_base64(read_fixture("dev.pub") + "third\n"), invalid},
      {"public key too long", good, kVersion, key + std::string(2048 - key.size() + 1, ' '), invalid},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(prepare_error(c.text, c.version, c.key), c.expected) << c.name;
  }
}

TEST(PrepareSignature, ReadsKeyAndAlgorithm) {
  auto prehashed = prepare_signature(fixture_base64("package.minisig"), dev_key(), kVersion);
  ASSERT_TRUE(prehashed);
  EXPECT_TRUE(prehashed->prehashed);
  EXPECT_EQ(prehashed->key_id, prehashed->public_key.key_id);
  EXPECT_EQ(prehashed->public_key.untrusted_comment, "minisign public key CE6F76994D95DD45");
  // minisign prints key ids as the little-endian number.
  EXPECT_EQ(prehashed->public_key.key_id[0], 0x45);
  EXPECT_EQ(prehashed->public_key.key_id[7], 0xCE);

  auto legacy = prepare_signature(fixture_base64("package.legacy.minisig"), dev_key(), kVersion);
  ASSERT_TRUE(legacy);
  EXPECT_FALSE(legacy->prehashed);
}

struct VerifyCase {
  const char* name;
  const char* signature;
  std::string path;
  bool cancelled;
  std::optional<SetupErrorKind> expected;
};

TEST(VerifyFile, Outcomes) {
  test::ScratchDir dir;
  std::string tampered = read_fixture("package.bin");
  tampered[100000] ^= 1;
  const std::string tampered_path = dir.write("tampered.bin", tampered);
  const std::string empty_path = dir.write("empty.bin", "");
  const std::string package = fixture_path("package.bin");

  const VerifyCase cases[] = {
      {"prehashed", "package.minisig", package, false, std::nullopt},
      {"legacy", "package.legacy.minisig", package, false, std::nullopt},
      {"prehashed, one bit flipped", "package.minisig", tampered_path, false,
       SetupErrorKind::SignatureInvalid},
      {"legacy, one bit flipped", "package.legacy.minisig", tampered_path, false,
       SetupErrorKind::SignatureInvalid},
      {"another key", "package.other-key.minisig", package, false, SetupErrorKind::SignatureInvalid},
      {"empty file", "package.minisig", empty_path, false, SetupErrorKind::InvalidPackageSize},
      {"missing file", "package.minisig", dir.file("missing.bin"), false,
       SetupErrorKind::StorageFailed},
      {"a directory", "package.minisig", dir.path(), false, SetupErrorKind::StorageFailed},
      {"cancelled, prehashed", "package.minisig", package, true, SetupErrorKind::DownloadCancelled},
      {"cancelled, legacy", "package.legacy.minisig", package, true,
       SetupErrorKind::DownloadCancelled},
  };
  for (const auto& c : cases) {
    auto prepared = prepare_signature(fixture_base64(c.signature), dev_key(), kVersion);
    ASSERT_TRUE(prepared) << c.name;
    const std::atomic<bool> cancel{c.cancelled};
    auto result = verify_file(*prepared, c.path, cancel);
    EXPECT_EQ(result ? std::nullopt : std::optional(result.error().kind), c.expected) << c.name;
  }
}

TEST(VerifyFile, GlobalSignatureCoversTheTrustedComment) {
  // Same file signature, but a trusted comment the key never signed.
  std::string minisig = read_fixture("package.minisig");
  minisig = with_line(minisig, 2, "trusted comment: version:1.4.2");
  auto prepared = prepare_signature(encode_base64(minisig), dev_key(), kVersion);
  ASSERT_TRUE(prepared);
  const std::atomic<bool> cancel{false};
  auto result = verify_file(*prepared, fixture_path("package.bin"), cancel);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind, SetupErrorKind::SignatureInvalid);
}

// Serves a fixed content in small pieces and counts the reads, optionally
// raising the cancel flag after some of them.
class FakeReader final : public ByteReader {
 public:
  FakeReader(std::string content, std::atomic<bool>* cancel_after = nullptr, int after = 0)
      : content_(std::move(content)), cancel_(cancel_after), after_(after) {}

  Result<std::size_t, OsError> read(std::span<std::uint8_t> buffer) override {
    ++reads;
    if (fail_at_read == reads) return Failure{OsError{5, "Input/output error"}};
    if (cancel_ != nullptr && reads > after_) cancel_->store(true);
    const std::size_t n = std::min(buffer.size(), content_.size() - offset_);
    std::copy_n(content_.data() + offset_, n, buffer.data());
    offset_ += n;
    return n;
  }

  int reads = 0;
  int fail_at_read = -1;

 private:
  std::string content_;
  std::size_t offset_ = 0;
  std::atomic<bool>* cancel_;
  int after_;
};

TEST(VerifyStream, SizeChangesCancelsAndReadErrors) {
  const std::string content = read_fixture("package.bin");
  for (const char* sig : {"package.minisig", "package.legacy.minisig"}) {
    SCOPED_TRACE(sig);
    auto prepared = prepare_signature(fixture_base64(sig), dev_key(), kVersion);
    ASSERT_TRUE(prepared);
    const auto kind = [&](ByteReader& reader, std::uint64_t size, std::atomic<bool>& cancel) {
      auto r = verify_stream(*prepared, reader, size, cancel);
      return r ? std::nullopt : std::optional(r.error().kind);
    };
    std::atomic<bool> never{false};

    FakeReader same(content);
    EXPECT_EQ(kind(same, content.size(), never), std::nullopt);

    FakeReader grown(content + "x");
    EXPECT_EQ(kind(grown, content.size(), never), SetupErrorKind::InvalidPackageSize);

    FakeReader shrunk(content.substr(0, content.size() - 1));
    EXPECT_EQ(kind(shrunk, content.size(), never), SetupErrorKind::InvalidPackageSize);

    FakeReader zero(content);
    EXPECT_EQ(kind(zero, 0, never), SetupErrorKind::InvalidPackageSize);
    EXPECT_EQ(zero.reads, 0);

    FakeReader huge(content);
    EXPECT_EQ(kind(huge, kMaxPackageSize + 1, never), SetupErrorKind::InvalidPackageSize);

    std::atomic<bool> cancel{false};
    FakeReader cancelling(content, &cancel, 1);
    EXPECT_EQ(kind(cancelling, content.size(), cancel), SetupErrorKind::DownloadCancelled);
    EXPECT_EQ(cancelling.reads, 2);  // stops right after the block that saw the flag

    std::atomic<bool> already{true};
    FakeReader untouched(content);
    EXPECT_EQ(kind(untouched, content.size(), already), SetupErrorKind::DownloadCancelled);
    EXPECT_EQ(untouched.reads, 0);

    FakeReader failing(content);
    failing.fail_at_read = 2;
    EXPECT_EQ(kind(failing, content.size(), never), SetupErrorKind::StorageFailed);
  }
}

TEST(VerifyStream, AnotherKeyFailsBeforeReadingWhenPrehashed) {
  auto prepared = prepare_signature(fixture_base64("package.other-key.minisig"), dev_key(), kVersion);
  ASSERT_TRUE(prepared);
  FakeReader reader(read_fixture("package.bin"));
  const std::atomic<bool> never{false};
  auto r = verify_stream(*prepared, reader, 200000, never);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, SetupErrorKind::SignatureInvalid);
  EXPECT_EQ(reader.reads, 0);
}

}  // namespace
}  // namespace nuvo

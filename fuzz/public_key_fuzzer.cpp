// The public key text is the one input the whole trust rests on: any text,
// raw or already base64-wrapped, must be refused or give a key that survives
// being written out and read again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "signature/base64.h"
#include "signature/signature.h"

namespace {

void check_key(std::string_view text) {
  const auto key = nuvo::parse_public_key(text);
  if (!key) return;
  std::string raw = "Ed";
  raw.append(key->key_id.begin(), key->key_id.end());
  raw.append(key->key.begin(), key->key.end());
  const std::string again_text = nuvo::encode_base64(
      "untrusted comment: " + key->untrusted_comment + "\n" + nuvo::encode_base64(raw) + "\n");
  const auto again = nuvo::parse_public_key(again_text);
  // A comment ending in a carriage return loses it to the line break.
  const bool cr = key->untrusted_comment.ends_with('\r');
  if (!again || again->key_id != key->key_id || again->key != key->key ||
      (!cr && again->untrusted_comment != key->untrusted_comment))
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_key(text);
  check_key(nuvo::encode_base64(text));
  return 0;
}

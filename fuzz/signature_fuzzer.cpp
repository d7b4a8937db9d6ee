// Signature texts come from the channel: screening must never crash.
#include <cstdint>
#include <string>
#include <string_view>

#include "signature/base64.h"
#include "signature/signature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const std::string key = nuvo::encode_base64(
      "untrusted comment: minisign public key CE6F76994D95DD45\n"
      "RWRF3ZVNmXZvzjr//iYB5HFYv/l7K48S+l9r0JyzQCpBZON15iD55jF9\n");
  (void)nuvo::prepare_signature(text, key, "1.4.2");
  // Also as the decoded text, so the fuzzer reaches the line rules quickly.
  (void)nuvo::prepare_signature(nuvo::encode_base64(text), key, "1.4.2");
  (void)nuvo::parse_public_key(nuvo::encode_base64(text));
  return 0;
}

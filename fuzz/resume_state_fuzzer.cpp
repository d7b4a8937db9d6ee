// Feeds arbitrary bytes to the resume.json reader, as a damaged or planted
// record would; whatever it accepts must survive a write and a second read.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "download/resume_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const nuvo::PartialState state = nuvo::parse_state(text);
  if (state != nuvo::PartialState{} && nuvo::parse_state(nuvo::format_state(state)) != state)
    std::abort();
  return 0;
}

#include "common/wipe.h"

#include <sodium/utils.h>

namespace nuvo {
namespace {

template <class String>
void wipe_buffer(String& text) {
  text.resize(text.capacity());  // within the capacity: the buffer stays where it is
  sodium_memzero(text.data(), text.size() * sizeof(typename String::value_type));
  text.clear();
}

}  // namespace

void wipe(std::span<std::uint8_t> bytes) { sodium_memzero(bytes.data(), bytes.size()); }

void wipe(std::string& text) { wipe_buffer(text); }

void wipe(std::u16string& text) { wipe_buffer(text); }

}  // namespace nuvo

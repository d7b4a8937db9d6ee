#include <time.h>

#include <cerrno>

#include "platform/clock.h"

namespace nuvo {

void sleep_ms(unsigned ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1'000'000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace nuvo

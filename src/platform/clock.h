// Waiting, for the pauses between attempts.
#pragma once

namespace nuvo {

// Sleeps about `ms` milliseconds, with a high-resolution timer where there is one.
void sleep_ms(unsigned ms);

}  // namespace nuvo

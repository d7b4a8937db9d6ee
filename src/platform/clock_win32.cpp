#include "platform/clock.h"
#include "platform/win32_support.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace nuvo {

void sleep_ms(unsigned ms) {
  // Sleep() rounds up to the scheduler tick (15.6 ms by default); a
  // high-resolution waitable timer keeps 50 ms pauses near 50 ms.
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                        TIMER_ALL_ACCESS);
  if (timer == nullptr) {
    timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  }
  LARGE_INTEGER due{};
  due.QuadPart = -static_cast<LONGLONG>(ms) * 10'000;  // relative, in 100 ns units
  if (timer != nullptr && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
    WaitForSingleObject(timer, INFINITE);
  } else {
    Sleep(ms);
  }
  if (timer != nullptr) CloseHandle(timer);
}

}  // namespace nuvo

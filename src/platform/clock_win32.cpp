#include "platform/clock.h"
#include "platform/scoped_handle.h"
#include "platform/win32_support.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace nuvo {

void sleep_ms(unsigned ms) {
  // Sleep() rounds up to the scheduler tick (15.6 ms by default); a
  // high-resolution waitable timer keeps 50 ms pauses near 50 ms. Older
  // systems do not know the flag and get an ordinary timer.
  FileHandle timer(win32::from_handle(CreateWaitableTimerExW(
      nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS)));
  if (!timer.valid())
    timer.reset(win32::from_handle(CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS)));
  LARGE_INTEGER due{};
  due.QuadPart = -static_cast<LONGLONG>(ms) * 10'000;  // relative, in 100 ns units
  if (timer.valid() &&
      SetWaitableTimer(win32::to_handle(timer.get()), &due, 0, nullptr, nullptr, FALSE)) {
    WaitForSingleObject(win32::to_handle(timer.get()), INFINITE);
  } else {
    Sleep(ms);
  }
}

}  // namespace nuvo

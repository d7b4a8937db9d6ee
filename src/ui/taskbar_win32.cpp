// Progress and attention on the taskbar button. The taskbar object is made
// only when the shell announces the button, never while the window opens.
// clang-format off
#include "ui/taskbar_win32.h"
#include <shobjidl.h>
// clang-format on

namespace nuvo {
namespace {

constexpr CLSID kTaskbarList = {
    0x56fdf344, 0xfd6d, 0x11d0, {0x95, 0x8a, 0x00, 0x60, 0x97, 0xc9, 0xa0, 0x90}};
constexpr ULONGLONG kFullProgress = 1000;

TBPFLAG taskbar_flag(TaskbarMode mode) {
  switch (mode) {
    case TaskbarMode::None:
      return TBPF_NOPROGRESS;
    case TaskbarMode::Indeterminate:
      return TBPF_INDETERMINATE;
    case TaskbarMode::Normal:
      return TBPF_NORMAL;
    case TaskbarMode::Error:
      return TBPF_ERROR;
    case TaskbarMode::Paused:
      return TBPF_PAUSED;
  }
  return TBPF_NOPROGRESS;
}

}  // namespace

UINT taskbar_button_created_message() {
  static const UINT message = RegisterWindowMessageW(L"TaskbarButtonCreated");
  return message;
}

TaskbarButton::TaskbarButton(HWND window) : window_(window) {
  // An elevated window gets no registered message from the shell, which runs
  // at medium integrity, unless it lets that message through: without this
  // an elevated run never learns of its button and never shows progress.
  if (const UINT message = taskbar_button_created_message(); message != 0)
    ChangeWindowMessageFilterEx(window, message, MSGFLT_ALLOW, nullptr);
}

TaskbarButton::~TaskbarButton() = default;

bool TaskbarButton::connect() {
  list_.Reset();  // a new button after the shell restarted: a new object too
  com_.enter(kWindowApartment);
  if (!com_.usable() ||
      FAILED(CoCreateInstance(kTaskbarList, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskbarList3),
                              reinterpret_cast<void**>(list_.ReleaseAndGetAddressOf())))) {
    list_.Reset();
    return false;
  }
  if (FAILED(list_->HrInit())) {
    list_.Reset();
    return false;
  }
  return true;
}

bool TaskbarButton::set_progress(const TaskbarProgress& progress) {
  if (list_ == nullptr) return false;
  // The value first: a paused or failed bar is drawn where the value puts it.
  const bool shows_value =
      progress.mode != TaskbarMode::None && progress.mode != TaskbarMode::Indeterminate;
  if (shows_value && FAILED(list_->SetProgressValue(window_, progress.per_mille, kFullProgress)))
    return false;
  return SUCCEEDED(list_->SetProgressState(window_, taskbar_flag(progress.mode)));
}

void TaskbarButton::flash() {
  if (GetForegroundWindow() == window_) return;
  FLASHWINFO info{};
  info.cbSize = sizeof(info);
  info.hwnd = window_;
  info.dwFlags = FLASHW_TRAY | FLASHW_TIMERNOFG;
  FlashWindowEx(&info);
}

}  // namespace nuvo

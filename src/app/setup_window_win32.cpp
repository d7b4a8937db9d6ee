// Opens the setup window: DPI awareness, common controls, the class, size and
// place at the system DPI, creation with its record, and the dialog-style
// message loop. Any failure on the way ends in one fatal message box.
// clang-format off
#include "ui/window_win32.h"
#include <commctrl.h>
// clang-format on

#include <optional>
#include <string>

#include "app/setup_window.h"
#include "install/launch.h"

namespace nuvo {
namespace {

int fatal(std::uint32_t code, const std::string& details = {}) {
  const std::string description = details.empty() ? win32::system_message(code) : details;
  const auto text = win32::widen(windows_error_text(description, code));
  MessageBoxW(nullptr, text ? text->c_str() : L"", L"Не удалось открыть установщик Nuvo",
              MB_ICONERROR);
  return 1;
}

int fatal_last_error() { return fatal(hresult_from_win32(GetLastError())); }

// Enter on a focused button presses that button. The dialog manager presses
// only push buttons itself and otherwise asks the window for its default
// button, which is the primary one; the owner-drawn buttons are no push
// buttons to it. Anywhere else Enter is left to the dialog manager.
bool press_focused_button(HWND window, const MSG& msg) {
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_RETURN) return false;
  const HWND focus = GetFocus();
  if (focus == nullptr || GetParent(focus) != window) return false;
  const int id = GetDlgCtrlID(focus);
  if (id != kPrimaryId && id != kSecondaryId) return false;
  if (IsWindowEnabled(focus))
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(focus));
  return true;
}

ScreenRect screen_rect(const RECT& r) {
  return {static_cast<int>(r.left), static_cast<int>(r.top), static_cast<int>(r.right),
          static_cast<int>(r.bottom)};
}

// The window's outer size around the client area at `dpi`.
std::optional<WindowSize> outer_size(unsigned dpi) {
  const WindowSize client = client_size(dpi);
  RECT outer{0, 0, client.width, client.height};
  if (!AdjustWindowRectExForDpi(&outer, kWindowStyle, FALSE, 0, dpi)) return std::nullopt;
  return WindowSize{static_cast<int>(outer.right - outer.left),
                    static_cast<int>(outer.bottom - outer.top)};
}

// Sizes and centres the new window again, on its monitor's work area, when
// the monitor it opened on has another DPI than the first guess; its
// controls are laid out at that DPI already. Failures leave the first guess.
void place_at_window_dpi(HWND window, UINT guessed, const ScreenRect& primary_work) {
  ScreenRect work = primary_work;
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor))
    work = screen_rect(monitor.rcWork);
  if (const auto again =
          placement_at_window_dpi(guessed, GetDpiForWindow(window), outer_size, work))
    SetWindowPos(window, nullptr, again->x, again->y, again->width, again->height,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

int run_setup_window() {
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  const INITCOMMONCONTROLSEX common{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  if (!InitCommonControlsEx(&common)) return fatal_last_error();
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  if (instance == nullptr) return fatal_last_error();
  const HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(kIconId));
  const HCURSOR cursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  if (cursor == nullptr) return fatal_last_error();

  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof(window_class);
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = instance;
  window_class.hIcon = icon;
  window_class.hIconSm = icon;
  window_class.hCursor = cursor;
  window_class.lpszClassName = kWindowClass;
  if (RegisterClassExW(&window_class) == 0) return fatal_last_error();

  // The first guess: the system DPI. The window is sized again below once
  // it exists, if the monitor it opens on has another.
  UINT dpi = GetDpiForSystem();
  if (dpi < 96) dpi = 96;
  const auto outer = outer_size(dpi);
  if (!outer) return fatal_last_error();
  RECT work_rect{};
  if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &work_rect, 0)) work_rect = RECT{};
  const WindowPlacement first = centre_in(*outer, screen_rect(work_rect));

  WindowState* state = new_window_state();
  const HWND window =
      CreateWindowExW(kWindowExStyle, kWindowClass, kWindowTitle, kWindowStyle, first.x, first.y,
                      first.width, first.height, nullptr, nullptr, instance, state);
  const DWORD create_error = GetLastError();
  const CreationError stored = take_creation_error(*state);
  if (stored.code != 0 || window == nullptr) {
    // A window destroyed during its creation has posted the quit message,
    // which would end the message box at once.
    MSG quit;
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    release_window_state(state);
    if (stored.code != 0) return fatal(stored.code, stored.details);
    return fatal(hresult_from_win32(create_error));
  }

  place_at_window_dpi(window, dpi, screen_rect(work_rect));
  ShowWindow(window, SW_SHOWNORMAL);
  if (const HWND primary = primary_button(*state)) SetFocus(primary);

  MSG msg;
  for (;;) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) break;
    if (got == -1) {
      const DWORD error = GetLastError();
      release_window_state(state);
      return fatal(hresult_from_win32(error));
    }
    if (press_focused_button(window, msg)) continue;
    if (!IsWindow(window) || !IsDialogMessageW(window, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  release_window_state(state);
  return 0;
}

}  // namespace nuvo

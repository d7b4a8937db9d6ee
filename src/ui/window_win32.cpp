// The setup window: its controls, layout, fonts and colours, and the adapter
// through which the screen states drive it; its painting is window_paint_win32.
// clang-format off
#include "ui/window_win32.h"
#include <commctrl.h>
#include <uxtheme.h>
// clang-format on

#include <array>
#include <utility>

#include "install/launch.h"
#include "ui/accessibility_win32.h"
#include "ui/desktop_signals.h"
#include "ui/screen.h"
#include "ui/taskbar_win32.h"
#include "ui/window_paint_win32.h"
#include "worker/worker.h"

namespace nuvo {
namespace {

constexpr int kProgressRange = 1000;

enum Font { kTitleFont, kTextFont, kSmallFont };
constexpr std::array kFontHeights = {32, 16, 14};

struct SetupControls {
  std::array<HFONT, 3> fonts{};
  HWND title = nullptr;
  HWND subtitle = nullptr;
  HWND version_line = nullptr;
  HWND introduction = nullptr;
  HWND status = nullptr;
  HWND progress = nullptr;
  HWND detail = nullptr;
  HWND models = nullptr;
  HWND primary = nullptr;
  HWND secondary = nullptr;
  HBRUSH background = nullptr;
};

void delete_fonts(const std::array<HFONT, 3>& fonts) {
  for (HFONT f : fonts)
    if (f != nullptr) DeleteObject(f);
}

void set_text_of(HWND control, std::string_view utf8) {
  if (const auto wide = win32::widen(utf8)) SetWindowTextW(control, wide->c_str());
}

std::uint32_t last_error_hresult() { return hresult_from_win32(GetLastError()); }

// The taskbar button and the status heading's live region of one window.
struct WindowDesktop {
  WindowDesktop(HWND window, HWND status)
      : taskbar(window), live_region(status), signals(taskbar, live_region) {}
  TaskbarButton taskbar;
  LiveRegion live_region;
  DesktopSignals signals;
};

class WindowView final : public ScreenView {
 public:
  WindowView(HWND window, const std::optional<SetupControls>& controls,
             const std::unique_ptr<WindowDesktop>& desktop)
      : window_(window), controls_(controls), desktop_(desktop) {}

  bool has_controls() const override { return controls_.has_value(); }

  void set_text(ScreenText which, std::string_view utf8) override {
    if (!controls_) return;
    switch (which) {
      case ScreenText::VersionLine:
        return set_text_of(controls_->version_line, utf8);
      case ScreenText::StatusHeading:
        return set_text_of(controls_->status, utf8);
      case ScreenText::DetailText:
        return set_text_of(controls_->detail, utf8);
    }
  }

  void set_buttons(const ButtonFace& primary, const ButtonFace& secondary) override {
    if (!controls_) return;
    set_text_of(controls_->primary, primary.text);
    set_text_of(controls_->secondary, secondary.text);
    EnableWindow(controls_->primary, primary.enabled);
    EnableWindow(controls_->secondary, secondary.enabled);
    InvalidateRect(controls_->primary, nullptr, TRUE);
    InvalidateRect(controls_->secondary, nullptr, TRUE);
  }

  void set_progress(std::uint32_t per_mille) override {
    if (controls_) SendMessageW(controls_->progress, PBM_SETPOS, per_mille, 0);
  }

  void show_state(const StateSignals& signals, bool heading_changed) override {
    if (desktop_) desktop_->signals.show(signals, heading_changed);
  }

  void destroy() override { DestroyWindow(window_); }

 private:
  HWND window_;
  const std::optional<SetupControls>& controls_;
  const std::unique_ptr<WindowDesktop>& desktop_;
};

}  // namespace

struct WindowState {
  std::optional<SetupControls> controls;
  CreationError creation_error;
  Palette palette = current_palette();
  std::unique_ptr<WindowDesktop> desktop;
  std::unique_ptr<WindowView> view;
  std::unique_ptr<SetupScreen> screen;  // goes first: it holds the run
};

namespace {

WindowState* state_of(HWND window) {
  return reinterpret_cast<WindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

UINT window_dpi(HWND window) {
  const UINT dpi = GetDpiForWindow(window);
  return dpi < 96 ? 96 : dpi;
}

// Creates fonts for the window's DPI, places every control, then lets the
// previous fonts go once nothing uses them.
void layout_controls(HWND window, SetupControls& c) {
  const UINT dpi = window_dpi(window);
  std::array<HFONT, 3> fonts{};
  for (std::size_t i = 0; i < fonts.size(); ++i)
    fonts[i] = CreateFontW(-scale(kFontHeights[i], dpi), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                           DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
  const struct {
    HWND control;
    int x, y, width, height;
    Font font;
  } layout[] = {
      {c.title, 80, 24, 500, 40, kTitleFont},       {c.subtitle, 80, 64, 500, 24, kTextFont},
      {c.version_line, 28, 96, 564, 22, kSmallFont}, {c.introduction, 28, 124, 564, 44, kTextFont},
      {c.status, 28, 184, 564, 24, kTextFont},      {c.progress, 28, 219, 564, 14, kTextFont},
      {c.detail, 28, 247, 564, 69, kTextFont},      {c.models, 28, 327, 564, 22, kSmallFont},
      {c.secondary, 28, 366, 128, 40, kTextFont},   {c.primary, 418, 366, 174, 40, kTextFont},
  };
  for (const auto& l : layout) {
    MoveWindow(l.control, scale(l.x, dpi), scale(l.y, dpi), scale(l.width, dpi),
               scale(l.height, dpi), TRUE);
    SendMessageW(l.control, WM_SETFONT, reinterpret_cast<WPARAM>(fonts[l.font]), TRUE);
  }
  delete_fonts(std::exchange(c.fonts, fonts));
}

// WM_CREATE: false, with the creation error stored, when a control or the
// timer cannot be made.
bool create_controls(HWND window, WindowState& state) {
  const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE));
  const auto fail = [&] {
    state.creation_error = CreationError{last_error_hresult(), {}};
    return false;
  };
  const auto text = [](std::string_view utf8) { return win32::widen(utf8).value_or(L""); };
  SetupControls c;
  const struct {
    HWND* control;
    const wchar_t* window_class;
    std::wstring text;
    DWORD style;
    int id;
  } specs[] = {
      {&c.title, L"STATIC", L"Nuvo", 0, 0},
      {&c.subtitle, L"STATIC", text("Онлайн-установка"), 0, 0},
      {&c.version_line, L"STATIC", text(initial_version_line()), 0, 0},
      {&c.introduction, L"STATIC",
       text("Нужен интернет. Скачаем полный пакет Nuvo с GitHub Releases и проверим его подпись "
            "перед установкой."),
       0, 0},
      {&c.status, L"STATIC", text(kReadyHeading), 0, 0},
      // The bar draws no text: its text is its name for screen readers.
      {&c.progress, PROGRESS_CLASSW, text("Ход установки"), PBS_SMOOTH, 0},
      {&c.detail, L"EDIT", text(kReadyDetail),
       ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | WS_VSCROLL | WS_TABSTOP, 0},
      {&c.models, L"STATIC", text("Модели распознавания скачиваются отдельно в приложении."), 0, 0},
      {&c.primary, L"BUTTON", text(kInstallButton), BS_OWNERDRAW | WS_TABSTOP, kPrimaryId},
      {&c.secondary, L"BUTTON", text(kCloseButton), BS_OWNERDRAW | WS_TABSTOP, kSecondaryId},
  };
  for (const auto& s : specs) {
    *s.control = CreateWindowExW(0, s.window_class, s.text.c_str(), s.style | WS_CHILD | WS_VISIBLE,
                                 0, 0, 0, 0, window,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(s.id)), instance,
                                 nullptr);
    if (*s.control == nullptr) return fail();
  }
  // Without its theme the bar takes our colours. Some uxtheme versions (Wine's)
  // refuse the empty names; a class list that names no class does the same.
  if (FAILED(SetWindowTheme(c.progress, L"", L""))) SetWindowTheme(c.progress, L" ", L" ");
  SendMessageW(c.progress, PBM_SETRANGE32, 0, kProgressRange);
  SendMessageW(c.progress, PBM_SETBARCOLOR, 0, state.palette.progress_bar);
  SendMessageW(c.progress, PBM_SETBKCOLOR, 0, state.palette.progress_background);
  c.background = CreateSolidBrush(state.palette.background);
  layout_controls(window, c);
  state.controls = c;
  state.desktop = std::make_unique<WindowDesktop>(window, c.status);
  if (SetTimer(window, kPollTimer, 100, nullptr) == 0) return fail();
  return true;
}

// High contrast switched on or off, or the system colours changed: the new
// palette replaces the old one, whose brush goes once nothing uses it.
void refresh_palette(HWND window, WindowState& state) {
  Palette palette = current_palette();
  if (!state.controls || palette == state.palette) return;
  const HBRUSH background = CreateSolidBrush(palette.background);
  if (background == nullptr) return;  // keeps the old palette whole
  state.palette = palette;
  SetupControls& c = *state.controls;
  DeleteObject(std::exchange(c.background, background));
  SendMessageW(c.progress, PBM_SETBARCOLOR, 0, palette.progress_bar);
  SendMessageW(c.progress, PBM_SETBKCOLOR, 0, palette.progress_background);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

LRESULT control_colours(const WindowState& state, WPARAM wparam, LPARAM lparam) {
  if (!state.controls) return 0;
  const SetupControls& c = *state.controls;
  const auto dc = reinterpret_cast<HDC>(wparam);
  const auto control = reinterpret_cast<HWND>(lparam);
  const Palette& p = state.palette;
  SetTextColor(dc, control == c.title || control == c.status ? p.bright_text : p.muted_text);
  SetBkColor(dc, p.background);
  return reinterpret_cast<LRESULT>(c.background);
}

}  // namespace

WindowState* new_window_state() { return new WindowState(); }

void release_window_state(WindowState* state) {
  if (state == nullptr) return;
  state->screen.reset();  // drops the run; its thread is not waited for
  if (state->controls) {
    delete_fonts(state->controls->fonts);
    if (state->controls->background != nullptr) DeleteObject(state->controls->background);
  }
  delete state;
}

CreationError take_creation_error(WindowState& state) { return std::exchange(state.creation_error, {}); }

HWND primary_button(const WindowState& state) {
  return state.controls ? state.controls->primary : nullptr;
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* state = static_cast<WindowState*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    if (state != nullptr) {
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
      state->view = std::make_unique<WindowView>(window, state->controls, state->desktop);
      // The window owns the consent prompt of every run it starts.
      const auto owner = reinterpret_cast<std::uintptr_t>(window);
      state->screen = std::make_unique<SetupScreen>(*state->view, [owner] {
        return start_installation(system_worker_services(std::nullopt, owner));
      });
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }
  WindowState* state = state_of(window);
  if (state == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  if (message == taskbar_button_created_message() && message != 0) {
    if (state->desktop) state->desktop->signals.taskbar_button_created();
    return 0;
  }

  switch (message) {
    case WM_CREATE:
      return create_controls(window, *state) ? 0 : -1;
    case WM_DESTROY:
      KillTimer(window, kPollTimer);
      PostQuitMessage(0);
      return 0;
    case WM_PAINT:
      paint_icon(window, window_dpi(window), state->controls ? state->controls->progress : nullptr,
                 state->palette);
      return 0;
    case WM_ERASEBKGND:
      if (state->controls) {
        RECT client;
        if (GetClientRect(window, &client))
          FillRect(reinterpret_cast<HDC>(wparam), &client, state->controls->background);
      }
      return 1;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
      return control_colours(*state, wparam, lparam);
    case WM_DRAWITEM:
      if (state->controls)
        paint_button(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam), state->palette);
      return 1;
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      if (state->controls) layout_controls(window, *state->controls);
      return 0;
    }
    case WM_SYSCOLORCHANGE:
      // Common controls learn of new system colours only from their parent.
      if (state->controls) SendMessageW(state->controls->progress, message, wparam, lparam);
      refresh_palette(window, *state);
      return 0;
    case WM_SETTINGCHANGE:
      refresh_palette(window, *state);
      return 0;
    case WM_TIMER:
      if (wparam != kPollTimer) break;
      state->screen->poll_events();
      return 0;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case kPrimaryId:
          if (!state->screen->run_active() && state->controls &&
              IsWindowEnabled(state->controls->primary))
            state->screen->start_run();
          break;
        case kSecondaryId:
        case IDCANCEL:
          state->screen->request_stop(false);
          break;
        default:
          break;
      }
      return 0;
    case WM_CLOSE:
      state->screen->request_stop(true);
      return 0;
    case WM_USER:
      return kUserReply;
    default:
      break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace nuvo

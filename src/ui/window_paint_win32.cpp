// Painting with GDI: a brush for each fill or frame, the icon loaded at the
// size it is drawn, the buttons' face, frame, caption and focus.
#include "ui/window_paint_win32.h"

#include <array>

#include "ui/window_win32.h"

namespace nuvo {
namespace {

constexpr int kButtonTextLimit = 128;

void fill(HDC dc, const RECT& rect, COLORREF colour, bool frame) {
  const HBRUSH brush = CreateSolidBrush(colour);
  if (brush == nullptr) return;
  if (frame) {
    FrameRect(dc, &rect, brush);
  } else {
    FillRect(dc, &rect, brush);
  }
  DeleteObject(brush);
}

// With high contrast on, a frame around the progress bar, whose empty part
// has the window's colour.
void frame_progress(HWND window, HDC dc, HWND progress, const Palette& palette) {
  if (progress == nullptr || !palette.high_contrast) return;
  RECT bar;
  if (!GetWindowRect(progress, &bar)) return;
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&bar), 2);
  InflateRect(&bar, 1, 1);
  fill(dc, bar, palette.bright_text, true);
}

}  // namespace

void paint_icon(HWND window, UINT dpi, HWND progress, const Palette& palette) {
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(window, &paint);
  if (dc == nullptr) return;
  const int size = scale(36, dpi);
  // The image of the group nearest the size, not the 32-pixel one stretched.
  const auto icon =
      static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconId),
                                    IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
  if (icon != nullptr) {
    DrawIconEx(dc, scale(28, dpi), scale(34, dpi), icon, size, size, 0, nullptr, DI_NORMAL);
    DestroyIcon(icon);
  }
  frame_progress(window, dc, progress, palette);
  EndPaint(window, &paint);
}

void paint_button(const DRAWITEMSTRUCT& item, const Palette& p) {
  const bool primary = item.CtlID == kPrimaryId;
  const bool disabled = (item.itemState & ODS_DISABLED) != 0;
  const bool pressed = !disabled && (item.itemState & ODS_SELECTED) != 0;
  COLORREF face = primary ? p.primary_face : p.secondary_face;
  if (disabled) {
    face = p.disabled_face;
  } else if (pressed) {
    face = p.pressed_face;
  }
  fill(item.hDC, item.rcItem, face, false);
  const COLORREF frame = primary ? p.primary_frame : p.secondary_frame;
  fill(item.hDC, item.rcItem, disabled ? p.disabled_frame : frame, true);

  COLORREF text = primary ? p.primary_text : p.secondary_text;
  if (disabled) {
    text = p.disabled_text;
  } else if (pressed && p.high_contrast) {
    text = p.pressed_text;
  }
  SetBkMode(item.hDC, TRANSPARENT);
  SetTextColor(item.hDC, text);
  const auto font = reinterpret_cast<HFONT>(SendMessageW(item.hwndItem, WM_GETFONT, 0, 0));
  const HGDIOBJ previous = SelectObject(item.hDC, font);
  std::array<wchar_t, kButtonTextLimit + 1> caption{};
  const int length = GetWindowTextW(item.hwndItem, caption.data(), kButtonTextLimit + 1);
  RECT rect = item.rcItem;
  DrawTextW(item.hDC, caption.data(), length < 0 ? 0 : length, &rect,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  SelectObject(item.hDC, previous);

  if (item.itemState & ODS_FOCUS) {
    RECT focus = item.rcItem;
    InflateRect(&focus, -4, -4);
    if (p.high_contrast) {
      fill(item.hDC, focus, text, true);  // solid, in the theme's own colour
    } else {
      DrawFocusRect(item.hDC, &focus);
    }
  }
}

}  // namespace nuvo

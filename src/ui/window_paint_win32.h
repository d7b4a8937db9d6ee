// The window's own painting: the icon, the frame of the high-contrast
// progress bar and the two owner-drawn buttons, in the palette's colours.
#pragma once

#include "platform/win32_support.h"
#include "ui/accessibility_win32.h"

namespace nuvo {

// WM_PAINT: the icon at the window's DPI and, with high contrast on, a frame
// around `progress` (none while it is null).
void paint_icon(HWND window, UINT dpi, HWND progress, const Palette& palette);

// WM_DRAWITEM of the primary and the secondary button.
void paint_button(const DRAWITEMSTRUCT& item, const Palette& palette);

}  // namespace nuvo

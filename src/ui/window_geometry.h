// The setup window's size at a DPI and its place on the screen, apart from
// the Win32 calls that measure its frame and the work area.
#pragma once

#include <functional>
#include <optional>

namespace nuvo {

inline constexpr int kClientWidth = 620;  // the client area, in 96-DPI units
inline constexpr int kClientHeight = 430;

// 96-DPI units at `dpi`, the fraction dropped; dpi never below 96.
constexpr int scale(int units, unsigned dpi) {
  return static_cast<int>(static_cast<long long>(units) * (dpi < 96 ? 96 : dpi) / 96);
}

struct WindowSize {
  int width = 0;
  int height = 0;
  bool operator==(const WindowSize&) const = default;
};

struct ScreenRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
};

struct WindowPlacement {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const WindowPlacement&) const = default;
};

// The client area at `dpi`.
WindowSize client_size(unsigned dpi);

// The outer size centred in `work`; at the work area's top-left corner on
// an axis where it does not fit.
WindowPlacement centre_in(WindowSize outer, const ScreenRect& work);

// The window's outer size for the client area at a DPI (the frame's
// thickness depends on the DPI too); empty when the system cannot say.
using OuterSize = std::function<std::optional<WindowSize>(unsigned dpi)>;

// Once the window exists, on the monitor where it opened: its size and place
// at its own DPI when that differs from the first guess (each raised to 96),
// centred in that monitor's `work` area; empty when the first guess stands.
// The system DPI is the primary monitor's scale at sign-in, so after a dock
// or a change of scale the monitor may have another one, and no DPI change
// is announced for a window that opens there.
std::optional<WindowPlacement> placement_at_window_dpi(unsigned guessed, unsigned window_dpi,
                                                       const OuterSize& outer,
                                                       const ScreenRect& work);

}  // namespace nuvo

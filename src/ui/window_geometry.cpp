// The setup window's size and place, as pure arithmetic.
#include "ui/window_geometry.h"

#include <algorithm>

namespace nuvo {

WindowSize client_size(unsigned dpi) {
  return {scale(kClientWidth, dpi), scale(kClientHeight, dpi)};
}

WindowPlacement centre_in(WindowSize outer, const ScreenRect& work) {
  return {work.left + std::max(0, (work.right - work.left - outer.width) / 2),
          work.top + std::max(0, (work.bottom - work.top - outer.height) / 2), outer.width,
          outer.height};
}

std::optional<WindowPlacement> placement_at_window_dpi(unsigned guessed, unsigned window_dpi,
                                                       const OuterSize& outer,
                                                       const ScreenRect& work) {
  if (std::max(guessed, 96u) == std::max(window_dpi, 96u)) return std::nullopt;
  const auto size = outer(std::max(window_dpi, 96u));
  if (!size) return std::nullopt;  // the first guess is still a usable window
  return centre_in(*size, work);
}

}  // namespace nuvo

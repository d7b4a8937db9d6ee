// The window for assistive technology: the status heading as a live region
// (oleacc's IAccPropServices and NotifyWinEvent), the colours of the dark
// theme or, with high contrast on, of the user's system colours.
#pragma once

#include "platform/com_win32.h"
#include "platform/win32_support.h"
#include "ui/desktop_signals.h"

struct IAccPropServices;

namespace nuvo {

// The window's thread enters COM, apartment-threaded, when first needed.
inline constexpr DWORD kWindowApartment = COINIT_APARTMENTTHREADED;

class LiveRegion final : public LiveRegionCalls {
 public:
  explicit LiveRegion(HWND control);
  LiveRegion(const LiveRegion&) = delete;
  LiveRegion& operator=(const LiveRegion&) = delete;
  ~LiveRegion() override;

  // Creates the annotation service on the first call.
  bool set_live_setting(LiveSetting live) override;
  void raise_changed() override;

 private:
  HWND control_;
  ComApartment com_;
  ComPtr<IAccPropServices> services_;  // released before the apartment is left
};

// Every colour the window paints with.
struct Palette {
  bool high_contrast = false;
  COLORREF background;
  COLORREF bright_text;  // title and status heading
  COLORREF muted_text;   // the other texts
  COLORREF primary_text;
  COLORREF secondary_text;
  COLORREF disabled_text;
  COLORREF pressed_text;  // high contrast only; the dark theme keeps each button's text colour
  COLORREF primary_face;
  COLORREF secondary_face;
  COLORREF pressed_face;
  COLORREF disabled_face;
  COLORREF primary_frame;
  COLORREF secondary_frame;
  COLORREF disabled_frame;
  COLORREF progress_bar;
  COLORREF progress_background;
  bool operator==(const Palette&) const = default;
};

// The dark theme, or the system colours while Windows reports high contrast.
Palette current_palette();

}  // namespace nuvo

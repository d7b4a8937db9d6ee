// The window for assistive technology: the status heading as a live region
// (oleacc's IAccPropServices and NotifyWinEvent), the colours of the dark
// theme or, with high contrast on, of the user's system colours, and the
// COM apartment both accessibility and the taskbar need.
#pragma once

#include "platform/win32_support.h"
#include "ui/desktop_signals.h"

struct IAccPropServices;

namespace nuvo {

// COM, apartment-threaded, entered on the window's thread when first needed.
class ComApartment {
 public:
  ComApartment() = default;
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment();
  bool enter();  // false when COM cannot be used on this thread

 private:
  bool entered_ = false;  // owes a CoUninitialize
  bool usable_ = false;
};

class LiveRegion final : public LiveRegionCalls {
 public:
  explicit LiveRegion(HWND control) : control_(control) {}
  LiveRegion(const LiveRegion&) = delete;
  LiveRegion& operator=(const LiveRegion&) = delete;
  ~LiveRegion() override;

  // Creates the annotation service on the first call.
  bool set_live_setting(LiveSetting live) override;
  void raise_changed() override;

 private:
  HWND control_;
  ComApartment com_;
  IAccPropServices* services_ = nullptr;
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

// The status heading as a live region, and the palette for high contrast.
// oleacc is reached through COM only when a heading first changes, so that
// nothing of it is loaded while the window opens.
// clang-format off
#include "ui/accessibility_win32.h"
#include <oleacc.h>
// clang-format on

namespace nuvo {
namespace {

constexpr CLSID kAccPropServices = {
    0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr IID kIAccPropServices = {
    0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
// UI Automation's LiveSetting property: 1 polite, 2 assertive.
constexpr GUID kLiveSettingProperty = {
    0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG kPolite = 1;
constexpr LONG kAssertive = 2;

}  // namespace

LiveRegion::LiveRegion(HWND control) : control_(control) {}

LiveRegion::~LiveRegion() = default;

bool LiveRegion::set_live_setting(LiveSetting live) {
  if (services_ == nullptr) {
    com_.enter(kWindowApartment);
    if (!com_.usable() ||
        FAILED(CoCreateInstance(kAccPropServices, nullptr, CLSCTX_INPROC_SERVER, kIAccPropServices,
                                reinterpret_cast<void**>(services_.ReleaseAndGetAddressOf())))) {
      services_.Reset();
      return false;
    }
  }
  VARIANT value{};
  value.vt = VT_I4;
  value.lVal = live == LiveSetting::Assertive ? kAssertive : kPolite;
  return SUCCEEDED(services_->SetHwndProp(control_, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                          kLiveSettingProperty, value));
}

void LiveRegion::raise_changed() {
  NotifyWinEvent(EVENT_OBJECT_LIVEREGIONCHANGED, control_, OBJID_CLIENT, CHILDID_SELF);
}

Palette current_palette() {
  HIGHCONTRASTW contrast{};
  contrast.cbSize = sizeof(contrast);
  if (SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast), &contrast, 0) &&
      (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0) {
    const COLORREF window = GetSysColor(COLOR_WINDOW);
    const COLORREF text = GetSysColor(COLOR_WINDOWTEXT);
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const COLORREF button_text = GetSysColor(COLOR_BTNTEXT);
    const COLORREF grey = GetSysColor(COLOR_GRAYTEXT);
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    return {.high_contrast = true,
            .background = window,
            .bright_text = text,
            .muted_text = text,
            .primary_text = button_text,
            .secondary_text = button_text,
            .disabled_text = grey,
            .pressed_text = GetSysColor(COLOR_HIGHLIGHTTEXT),
            .primary_face = face,
            .secondary_face = face,
            .pressed_face = highlight,
            .disabled_face = face,
            .primary_frame = button_text,
            .secondary_frame = button_text,
            .disabled_frame = grey,
            .progress_bar = highlight,
            .progress_background = window};
  }
  return {.high_contrast = false,
          .background = RGB(23, 27, 33),
          .bright_text = RGB(229, 234, 242),
          .muted_text = RGB(159, 170, 185),
          .primary_text = RGB(88, 187, 236),
          .secondary_text = RGB(229, 234, 242),
          .disabled_text = RGB(159, 170, 185),
          .pressed_text = RGB(229, 234, 242),
          .primary_face = RGB(30, 52, 67),
          .secondary_face = RGB(33, 39, 48),
          .pressed_face = RGB(34, 65, 83),
          .disabled_face = RGB(30, 35, 42),
          .primary_frame = RGB(48, 119, 154),
          .secondary_frame = RGB(62, 72, 85),
          .disabled_frame = RGB(62, 72, 85),
          .progress_bar = RGB(88, 187, 236),
          .progress_background = RGB(38, 47, 59)};
}

}  // namespace nuvo

// The taskbar button and the live region, told only what changed.
#include "ui/desktop_signals.h"

namespace nuvo {

void DesktopSignals::taskbar_button_created() {
  connected_ = taskbar_.connect();
  shown_ = TaskbarProgress{};  // a new button shows no progress
  update_taskbar();
}

void DesktopSignals::show(const StateSignals& signals, bool heading_changed) {
  wanted_ = signals.taskbar;
  update_taskbar();
  if (heading_changed) {
    // The live setting goes first: a screen reader reads it with the event.
    if (live_ != signals.live && live_region_.set_live_setting(signals.live)) live_ = signals.live;
    live_region_.raise_changed();
  }
  if (signals.attention) taskbar_.flash();
}

void DesktopSignals::update_taskbar() {
  if (!connected_ || shown_ == wanted_) return;
  shown_.reset();
  if (taskbar_.set_progress(wanted_)) shown_ = wanted_;
}

}  // namespace nuvo

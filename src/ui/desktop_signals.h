// What the window tells the desktop beside its controls: progress on its
// taskbar button, the status heading as a live region for screen readers,
// and a flashing taskbar button when a run ends behind other windows. The
// system calls go through two small interfaces, so that tests record them.
#pragma once

#include <optional>

#include "ui/screen.h"

namespace nuvo {

// The window's taskbar button (ITaskbarList3 and FlashWindowEx on Windows).
class TaskbarCalls {
 public:
  virtual ~TaskbarCalls() = default;
  // The shell has (re)created the button: take hold of it; false when that fails.
  virtual bool connect() = 0;
  virtual bool set_progress(const TaskbarProgress& progress) = 0;
  // Flashes the button until the window comes to the front, unless it is there already.
  virtual void flash() = 0;
};

// The status heading as assistive technology sees it (oleacc's
// IAccPropServices and NotifyWinEvent on Windows).
class LiveRegionCalls {
 public:
  virtual ~LiveRegionCalls() = default;
  virtual bool set_live_setting(LiveSetting live) = 0;
  virtual void raise_changed() = 0;
};

class DesktopSignals {
 public:
  DesktopSignals(TaskbarCalls& taskbar, LiveRegionCalls& live_region)
      : taskbar_(taskbar), live_region_(live_region) {}

  // The shell's "TaskbarButtonCreated": from now on the button mirrors the run.
  void taskbar_button_created();
  // The screen entered a state (ScreenView::show_state).
  void show(const StateSignals& signals, bool heading_changed);

 private:
  void update_taskbar();

  TaskbarCalls& taskbar_;
  LiveRegionCalls& live_region_;
  bool connected_ = false;
  TaskbarProgress wanted_;
  std::optional<TaskbarProgress> shown_;  // nullopt: unknown after a failed call
  std::optional<LiveSetting> live_;       // as last set successfully
};

}  // namespace nuvo

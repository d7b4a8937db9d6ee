// The window's taskbar button: the run's progress through ITaskbarList3 once
// the shell has announced the button, and a flash when a run ends while the
// window is behind others.
#pragma once

#include "platform/com_win32.h"
#include "platform/win32_support.h"
#include "ui/accessibility_win32.h"
#include "ui/desktop_signals.h"

struct ITaskbarList3;

namespace nuvo {

// The registered message by which the shell announces the button.
UINT taskbar_button_created_message();

class TaskbarButton final : public TaskbarCalls {
 public:
  explicit TaskbarButton(HWND window);
  TaskbarButton(const TaskbarButton&) = delete;
  TaskbarButton& operator=(const TaskbarButton&) = delete;
  ~TaskbarButton() override;

  bool connect() override;
  bool set_progress(const TaskbarProgress& progress) override;
  void flash() override;

 private:
  HWND window_;
  ComApartment com_;
  ComPtr<ITaskbarList3> list_;  // released before the apartment is left
};

}  // namespace nuvo

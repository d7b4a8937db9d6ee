// The setup window's start-up and message loop, for a run without arguments.
#pragma once

namespace nuvo {

// Opens the window and runs its message loop: 0 once it has been closed, 1
// after the fatal message box when it cannot be opened.
int run_setup_window();

}  // namespace nuvo

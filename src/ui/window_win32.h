// The setup window's procedure and its per-window record, shared by the
// window start-up and the window itself.
#pragma once

#include "platform/win32_support.h"
#include "ui/window_geometry.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace nuvo {

inline constexpr wchar_t kWindowClass[] = L"NuvoOnlineSetup";
inline constexpr wchar_t kWindowTitle[] = L"Установка Nuvo";
inline constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
inline constexpr DWORD kWindowExStyle = WS_EX_CONTROLPARENT;
inline constexpr WORD kIconId = 101;
inline constexpr int kPrimaryId = 1001;
inline constexpr int kSecondaryId = 1002;
inline constexpr UINT_PTR kPollTimer = 1;
// The window's answer to WM_USER, by which a caller can tell it is ours.
inline constexpr LRESULT kUserReply = 1397425129;

struct WindowState;

// In its initial state: no run, no controls, no creation error.
WindowState* new_window_state();
void release_window_state(WindowState* state);

// Filled by WM_CREATE when the controls cannot be built; read and cleared
// by the start-up right after CreateWindowExW.
struct CreationError {
  std::uint32_t code = 0;  // an HRESULT; 0 for none
  std::string details;     // shown instead of the system's text when set
};
CreationError take_creation_error(WindowState& state);

// The primary button, once the controls exist.
HWND primary_button(const WindowState& state);

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace nuvo

// Drives the setup window from outside, as a person and a screen reader
// would see it, for the end-to-end window tests:
//
//   window_driver wait [ms]          until a visible "NuvoOnlineSetup" window exists
//   window_driver dump               one JSON line: the window, every child
//                                    (class, id, style, text, rectangle in
//                                    client coordinates, enabled), the
//                                    progress range and position, the focus,
//                                    the reply to WM_USER
//   window_driver click <id>         presses the child button with that id
//   window_driver press <id>         the same, waits until the window has
//                                    handled it, then dumps
//   window_driver key <key>...       keys (escape, tab, enter), as typed into
//                                    the focused control, one after another
//   window_driver send <i> <msg> <w>  a message to the child at index i
//   window_driver close              the close box (WM_CLOSE)
//   window_driver capture <file.bmp> the client area as it is on the screen
//   window_driver accessible         one JSON line: every child's accessible
//                                    name, role, state and value, read through
//                                    the standard proxies (AccessibleObjectFromWindow)
//   window_driver probe <n> <ms>     n WM_NULL round trips, one every ms;
//                                    prints the slowest in milliseconds
#include <windows.h>

#include <chrono>
#include <commctrl.h>
#include <oleacc.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

std::string narrow(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

// The text the system keeps for the window, read without a message: the
// window's thread does not get to run its timer between two reads.
std::wstring text_of(HWND h) {
  wchar_t text[4096] = {};
  InternalGetWindowText(h, text, 4096);
  return text;
}

// An edit control keeps its text to itself: only its window procedure can say.
std::wstring edit_text_of(HWND h) {
  wchar_t text[4096] = {};
  SendMessageW(h, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text));
  return text;
}

std::wstring class_of(HWND h) {
  wchar_t name[256] = {};
  GetClassNameW(h, name, 256);
  return name;
}

HWND find_window() {
  const HWND h = FindWindowW(L"NuvoOnlineSetup", nullptr);
  return h != nullptr && IsWindowVisible(h) ? h : nullptr;
}

void print(const nlohmann::json& j) {
  const std::string line = j.dump() + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
}

nlohmann::json rect_json(const RECT& r) {
  return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

// One reading of the window. What needs no message comes first, all of it
// before the window's thread can run again; the replies to messages after.
nlohmann::json read_window(HWND window) {
  RECT client{};
  GetClientRect(window, &client);
  RECT outer{};
  GetWindowRect(window, &outer);
  GUITHREADINFO gui{};
  gui.cbSize = sizeof(gui);
  GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui);
  nlohmann::json j = {{"title", narrow(text_of(window))},
                      {"client", {client.right, client.bottom}},
                      {"window", rect_json(outer)},
                      {"style", GetWindowLongW(window, GWL_STYLE)},
                      {"ex_style", GetWindowLongW(window, GWL_EXSTYLE)},
                      {"focus_id", gui.hwndFocus ? GetDlgCtrlID(gui.hwndFocus) : -1},
                      {"focus_class", gui.hwndFocus ? narrow(class_of(gui.hwndFocus)) : ""}};
  nlohmann::json children = nlohmann::json::array();
  HWND progress = nullptr;
  std::vector<std::pair<std::size_t, HWND>> edits;
  for (HWND c = GetWindow(window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    RECT r{};
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    const std::wstring kind = class_of(c);
    if (kind == PROGRESS_CLASSW) progress = c;
    if (kind == WC_EDITW) edits.emplace_back(children.size(), c);
    children.push_back({{"class", narrow(kind)},
                        {"id", GetDlgCtrlID(c)},
                        {"style", static_cast<std::uint32_t>(GetWindowLongW(c, GWL_STYLE))},
                        {"text", narrow(text_of(c))},
                        {"rect", rect_json(r)},
                        {"enabled", IsWindowEnabled(c) != FALSE}});
  }
  for (const auto& [i, edit] : edits) children[i]["text"] = narrow(edit_text_of(edit));
  j["children"] = children;
  j["user_reply"] = SendMessageW(window, WM_USER, 0, 0);
  if (progress != nullptr) {
    j["progress"] = {{"min", SendMessageW(progress, PBM_GETRANGE, TRUE, 0)},
                     {"max", SendMessageW(progress, PBM_GETRANGE, FALSE, 0)},
                     {"pos", SendMessageW(progress, PBM_GETPOS, 0, 0)}};
  }
  return j;
}

// A reading that belongs to one screen: the window updates on its timer while
// we read, so read until two readings in a row agree.
nlohmann::json dump(HWND window) {
  nlohmann::json last = read_window(window);
  for (int i = 0; i < 50; ++i) {
    nlohmann::json next = read_window(window);
    if (next == last) break;
    last = std::move(next);
  }
  return last;
}

// The client area as the screen shows it, as a 24-bit bottom-up BMP.
bool capture(HWND window, const char* path) {
  RECT client{};
  GetClientRect(window, &client);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  const int w = client.right;
  const int h = client.bottom;
  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  const HGDIOBJ old = SelectObject(memory, bitmap);
  const bool ok = BitBlt(memory, 0, 0, w, h, screen, origin.x, origin.y, SRCCOPY) != FALSE;
  GdiFlush();
  const int stride = (w * 3 + 3) & ~3;
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file.bfSize = file.bfOffBits + static_cast<DWORD>(stride * h);
  FILE* out = std::fopen(path, "wb");
  bool written = out != nullptr;
  if (out != nullptr) {
    written = std::fwrite(&file, sizeof(file), 1, out) == 1 &&
              std::fwrite(&info.bmiHeader, sizeof(info.bmiHeader), 1, out) == 1 &&
              std::fwrite(bits, static_cast<std::size_t>(stride * h), 1, out) == 1;
    written = std::fclose(out) == 0 && written;
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok && written;
}

std::string bstr_text(BSTR text) {
  std::string out = text != nullptr ? narrow(std::wstring(text, SysStringLen(text))) : "";
  SysFreeString(text);
  return out;
}

// What a screen reader is told about each child through the system's proxies.
nlohmann::json accessible(HWND window) {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  nlohmann::json children = nlohmann::json::array();
  for (HWND c = GetWindow(window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    IAccessible* object = nullptr;
    if (FAILED(AccessibleObjectFromWindow(c, static_cast<DWORD>(OBJID_CLIENT),
                                          __uuidof(IAccessible), reinterpret_cast<void**>(&object)))) {
      children.push_back(nullptr);
      continue;
    }
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    BSTR value = nullptr;
    VARIANT role{};
    VARIANT state{};
    object->get_accName(self, &name);
    object->get_accValue(self, &value);
    object->get_accRole(self, &role);
    object->get_accState(self, &state);
    children.push_back({{"name", bstr_text(name)},
                        {"value", bstr_text(value)},
                        {"role", role.vt == VT_I4 ? role.lVal : -1},
                        {"state", state.vt == VT_I4 ? state.lVal : -1}});
    object->Release();
  }
  CoUninitialize();
  return children;
}

int usage() {
  std::fputs("usage: window_driver wait|dump|click|key|close|capture|accessible|probe ...\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "wait") {
    const long limit = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 30000;
    const auto start = std::chrono::steady_clock::now();
    while (find_window() == nullptr) {
      if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(limit)) return 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    print({{"waited_ms", waited.count()}});
    return 0;
  }
  const HWND window = find_window();
  if (window == nullptr) {
    std::fputs("no setup window\n", stderr);
    return 1;
  }
  if (command == "dump") {
    print(dump(window));
  } else if (command == "click" && argc > 2) {
    const HWND button = GetDlgItem(window, std::atoi(argv[2]));
    if (button == nullptr) return 1;
    PostMessageW(button, BM_CLICK, 0, 0);
  } else if (command == "press" && argc > 2) {  // waits for the window, then dumps
    const HWND button = GetDlgItem(window, std::atoi(argv[2]));
    if (button == nullptr) return 1;
    SendMessageW(button, BM_CLICK, 0, 0);
    print(read_window(window));  // at once: the screen the press left
  } else if (command == "key" && argc > 2) {
    GUITHREADINFO gui{};
    gui.cbSize = sizeof(gui);
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &gui);
    // Queued in order: each key is handled after the focus moved by the one before.
    const HWND target = gui.hwndFocus != nullptr ? gui.hwndFocus : window;
    for (int i = 2; i < argc; ++i) {
      const std::string name = argv[i];
      const WPARAM key = name == "escape" ? VK_ESCAPE : name == "enter" ? VK_RETURN : VK_TAB;
      PostMessageW(target, WM_KEYDOWN, key, 1);
      PostMessageW(target, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
    }
  } else if (command == "send" && argc > 4) {  // to the child at that index
    HWND child = GetWindow(window, GW_CHILD);
    for (long i = std::strtol(argv[2], nullptr, 10); i > 0 && child != nullptr; --i)
      child = GetWindow(child, GW_HWNDNEXT);
    if (child == nullptr) return 1;
    print({{"result", SendMessageW(child, static_cast<UINT>(std::strtoul(argv[3], nullptr, 0)),
                                   std::strtoull(argv[4], nullptr, 0), 0)}});
  } else if (command == "close") {
    PostMessageW(window, WM_CLOSE, 0, 0);
  } else if (command == "accessible") {
    print(accessible(window));
  } else if (command == "capture" && argc > 2) {
    return capture(window, argv[2]) ? 0 : 1;
  } else if (command == "probe" && argc > 3) {
    const long count = std::strtol(argv[2], nullptr, 10);
    const long every = std::strtol(argv[3], nullptr, 10);
    long long worst = 0;
    long answered = 0;
    for (long i = 0; i < count; ++i) {
      const auto start = std::chrono::steady_clock::now();
      DWORD_PTR result = 0;
      if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result) != 0) ++answered;
      const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
      worst = std::max(worst, static_cast<long long>(took));
      std::this_thread::sleep_for(std::chrono::milliseconds(every));
    }
    print({{"probes", count}, {"answered", answered}, {"worst_ms", static_cast<double>(worst) / 1000.0}});
  } else {
    return usage();
  }
  return 0;
}

// A stand-in for the full installer that tells the tests how it was started.
//
// Appends one JSON line to the file named by NUVO_TEST_INSTALLER_RECORD (when
// set): {"args": [arguments after the program name], "cwd": working directory,
// "program": the program name as started, "self": the program's own path},
// all UTF-8. Then sleeps NUVO_TEST_INSTALLER_SLEEP_MS milliseconds (when set)
// and, while the file NUVO_TEST_INSTALLER_HOLD_FILE names exists (at most two
// minutes), goes on waiting, so that a test decides when it ends;
// and exits with NUVO_TEST_INSTALLER_EXIT (unsigned decimal, default 0), or
// with the number in the file NUVO_TEST_INSTALLER_EXIT_FILE names, so that
// one window can see several outcomes in a row. On
// POSIX, NUVO_TEST_INSTALLER_SIGNAL instead ends it with that signal.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include "cli/command_line.h"
#include "common/utf.h"
#else
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>
#endif

namespace {

struct Started {
  std::vector<std::string> args;
  std::string cwd;
  std::string program;
  std::string self;
};

#ifdef _WIN32
std::string utf8(std::wstring_view w) {
  return nuvo::utf16_to_utf8(
             std::u16string_view(reinterpret_cast<const char16_t*>(w.data()), w.size()))
      .value_or("<invalid UTF-16>");
}

std::optional<std::string> env(const char* ascii_name) {
  const std::string_view ascii(ascii_name);
  const std::wstring name(ascii.begin(), ascii.end());
  const DWORD n = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
  if (n == 0) return std::nullopt;
  std::wstring value(n, L'\0');
  value.resize(GetEnvironmentVariableW(name.c_str(), value.data(), n));
  return utf8(value);
}

// Both calls report the size needed, terminator included, when too small.
template <class Get>
std::wstring grow(Get get) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = get(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n < buffer.size()) return buffer.substr(0, n);
    buffer.resize(buffer.size() * 2 > n ? buffer.size() * 2 : n);
  }
}

Started how_started(int, char**) {
  Started s;
  s.self = utf8(grow([](wchar_t* b, DWORD n) { return GetModuleFileNameW(nullptr, b, n); }));
  s.cwd = utf8(grow([](wchar_t* b, DWORD n) { return GetCurrentDirectoryW(n, b); }));
  const wchar_t* line = GetCommandLineW();
  const auto words = nuvo::split_command_line(reinterpret_cast<const char16_t*>(line), u"");
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::string word = nuvo::utf16_to_utf8(words[i]).value_or("<invalid UTF-16>");
    if (i == 0) {
      s.program = std::move(word);
    } else {
      s.args.push_back(std::move(word));
    }
  }
  return s;
}

void append(const std::string& path, const std::string& line) {
  const auto wide = nuvo::utf8_to_utf16(path).value_or(u"");
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

void pause_ms(unsigned long ms) { Sleep(ms); }

[[noreturn]] void finish(std::uint32_t code) { ExitProcess(code); }
#else
std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

Started how_started(int argc, char** argv) {
  Started s;
  s.program = argc > 0 ? argv[0] : "";
  for (int i = 1; i < argc; ++i) s.args.emplace_back(argv[i]);
  std::string buffer(4096, '\0');
  if (::getcwd(buffer.data(), buffer.size()) != nullptr) s.cwd = buffer.c_str();
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n > 0) s.self.assign(buffer.data(), static_cast<std::size_t>(n));
  return s;
}

void append(const std::string& path, const std::string& line) {
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}

void pause_ms(unsigned long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

[[noreturn]] void finish(std::uint32_t code) {
  if (const auto sig = env("NUVO_TEST_INSTALLER_SIGNAL")) {
    std::signal(std::atoi(sig->c_str()), SIG_DFL);
    std::raise(std::atoi(sig->c_str()));
  }
  std::exit(static_cast<int>(code));
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (const auto record = env("NUVO_TEST_INSTALLER_RECORD")) {
    const Started s = how_started(argc, argv);
    const nlohmann::json line = {
        {"args", s.args}, {"cwd", s.cwd}, {"program", s.program}, {"self", s.self}};
    append(*record, line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  }
  if (const auto ms = env("NUVO_TEST_INSTALLER_SLEEP_MS"))
    pause_ms(std::strtoul(ms->c_str(), nullptr, 10));
  if (const auto hold = env("NUVO_TEST_INSTALLER_HOLD_FILE")) {
    for (int i = 0; i < 2400; ++i) {
      FILE* f = std::fopen(hold->c_str(), "r");
      if (f == nullptr) break;
      std::fclose(f);
      pause_ms(50);
    }
  }
  std::uint32_t code = 0;
  if (const auto exit = env("NUVO_TEST_INSTALLER_EXIT"))
    code = static_cast<std::uint32_t>(std::strtoull(exit->c_str(), nullptr, 10));
  if (const auto file = env("NUVO_TEST_INSTALLER_EXIT_FILE")) {
    if (FILE* f = std::fopen(file->c_str(), "r")) {
      unsigned long long n = 0;
      if (std::fscanf(f, "%llu", &n) == 1) code = static_cast<std::uint32_t>(n);
      std::fclose(f);
    }
  }
  finish(code);
}

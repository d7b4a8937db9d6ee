// Standard streams on POSIX, and the terminal's password prompt.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "common/wipe.h"
#include "platform/console.h"

namespace nuvo {

void write_std(StdStream stream, std::string_view utf8) {
  const int fd = stream == StdStream::Out ? STDOUT_FILENO : STDERR_FILENO;
  while (!utf8.empty()) {
    const ssize_t n = ::write(fd, utf8.data(), utf8.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // closed or missing stream: the exit code tells the outcome
    utf8.remove_prefix(static_cast<std::size_t>(n));
  }
}

namespace {

// While the prompt waits, a signal that ends or stops the process first puts
// the terminal's mode back. Only what a signal handler may touch lives here.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};
termios g_saved_mode{};
termios g_quiet_mode{};
struct sigaction g_previous[std::size(kEndingSignals)]{};
bool g_installed[std::size(kEndingSignals)]{};
const char* g_prompt = nullptr;
std::size_t g_prompt_size = 0;

void on_ending_signal(int signal) {
  const int saved_errno = errno;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_mode);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal);
  if (signal == SIGTSTP) {
    // Stop as the default action would, with the terminal as the shell
    // expects it; once continued, echo goes off again and the prompt shows.
    struct sigaction stop{};
    stop.sa_handler = SIG_DFL;
    struct sigaction ours{};
    ::sigaction(SIGTSTP, &stop, &ours);
    ::sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
    ::raise(SIGTSTP);
    ::sigprocmask(SIG_BLOCK, &just_this, nullptr);
    ::sigaction(SIGTSTP, &ours, nullptr);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_quiet_mode);
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, g_prompt, g_prompt_size);
    errno = saved_errno;
    return;
  }
  // Otherwise the disposition from before the prompt, and the signal again:
  // the process ends as it would have.
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    if (kEndingSignals[i] == signal) ::sigaction(signal, &g_previous[i], nullptr);
  }
  ::sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
  ::raise(signal);
  errno = saved_errno;
}

void install_handlers() {
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    struct sigaction ours{};
    ours.sa_handler = on_ending_signal;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = SA_RESTART;
    g_installed[i] = ::sigaction(kEndingSignals[i], nullptr, &g_previous[i]) == 0 &&
                     g_previous[i].sa_handler != SIG_IGN &&
                     ::sigaction(kEndingSignals[i], &ours, nullptr) == 0;
  }
}

void remove_handlers() {
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    if (g_installed[i]) ::sigaction(kEndingSignals[i], &g_previous[i], nullptr);
    g_installed[i] = false;
  }
}

}  // namespace

Result<std::optional<std::string>, OsError> read_secret_line(std::string_view prompt,
                                                             std::size_t limit) {
  const bool terminal = ::isatty(STDIN_FILENO) != 0;
  if (terminal) {
    // Echo goes off before the prompt shows: whatever is typed once the
    // prompt is visible stays hidden and is read, never flushed away.
    if (::tcgetattr(STDIN_FILENO, &g_saved_mode) != 0) return Failure{last_os_error()};
    g_quiet_mode = g_saved_mode;
    g_quiet_mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    g_prompt = prompt.data();
    g_prompt_size = prompt.size();
    install_handlers();
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_quiet_mode) != 0) {
      const OsError error = last_os_error();
      remove_handlers();
      return Failure{error};
    }
    write_std(StdStream::Err, prompt);
  }
  // Room for the longest line up front: the secret is never copied to a
  // larger buffer, and the caller wipes this one.
  std::string line;
  line.reserve(limit + 1);
  std::optional<OsError> error;
  bool ended = false;  // by its line break
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = last_os_error();
    if (n <= 0) break;
    if (c == '\n') {
      ended = true;
      break;
    }
    if (line.size() == limit) {
      error = os_error_from_code(E2BIG);
      break;
    }
    line += c;
  }
  if (terminal) {
    // What was typed or pasted after the line, or past the limit, is thrown
    // away with the mode: it never reaches the shell or the next reader.
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved_mode);
    remove_handlers();
    write_std(StdStream::Err, "\n");
  }
  if (error || !ended) {
    wipe(line);
    if (error) return Failure{*error};
    return std::optional<std::string>{};
  }
  if (line.ends_with('\r')) line.pop_back();
  return std::optional<std::string>{std::move(line)};
}

}  // namespace nuvo

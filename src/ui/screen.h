// What the setup window shows during an installation run, and how it reacts
// to its buttons and to the worker's events: a state machine over a small
// view, so that every text and every rule is decided here and the window
// only renders it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "worker/worker.h"

namespace nuvo {

// The controls whose text changes during a run.
enum class ScreenText { VersionLine, StatusHeading, DetailText };

struct ButtonFace {
  std::string text;
  bool enabled = false;
  bool operator==(const ButtonFace&) const = default;
};

// Every state the screen shows (the status heading names it).
enum class ScreenState {
  Ready,         // the window has opened; no run yet
  Checking,      // a run has started
  Resolving,     // the channel is being asked for the release
  Downloading,   // the installer is being downloaded
  Verifying,     // its signature is being checked
  PackageReady,  // verified and held
  Launching,     // the installer's wizard is open
  Stopping,      // a cancel was accepted; the run is winding down
  WizardOpen,    // a cancel was refused because the wizard is open
  Installed,     // the installer reported success
  Cancelled,     // the run or the installer was cancelled
  Failed,        // the run ended with a failure text
  Interrupted,   // the worker vanished without a result
};

// The progress on the window's taskbar button.
enum class TaskbarMode { None, Indeterminate, Normal, Error, Paused };
struct TaskbarProgress {
  TaskbarMode mode = TaskbarMode::None;
  std::uint32_t per_mille = 0;  // 0 to 1000; only Normal, Error and Paused show it
  bool operator==(const TaskbarProgress&) const = default;
};

// How urgently a screen reader announces a new status heading.
enum class LiveSetting { Polite, Assertive };

// What a state shows beyond the controls.
struct StateSignals {
  TaskbarProgress taskbar;
  LiveSetting live = LiveSetting::Polite;
  bool attention = false;  // the run has ended: flash the taskbar button while the window is behind
  bool operator==(const StateSignals&) const = default;
};

// `position` is the progress bar's position while the run knows the
// installer's size, nullopt while it does not.
StateSignals state_signals(ScreenState state, std::optional<std::uint32_t> position);

// The window as the screen states see it. Every call but destroy() does
// nothing while the window has no controls.
class ScreenView {
 public:
  virtual ~ScreenView() = default;
  virtual bool has_controls() const = 0;
  virtual void set_text(ScreenText control, std::string_view utf8) = 0;
  // Both buttons at once, so that both faces are repainted together.
  virtual void set_buttons(const ButtonFace& primary, const ButtonFace& secondary) = 0;
  virtual void set_progress(std::uint32_t per_mille) = 0;  // 0 to 1000
  // After the controls show a new state (or new progress in the same one);
  // `heading_changed` tells whether the status heading reads differently now.
  virtual void show_state(const StateSignals& signals, bool heading_changed) = 0;
  virtual void destroy() = 0;
};

// Starts one run on its own thread; the text to show when it cannot.
using RunStarter = std::function<Result<RunHandle, std::string>()>;

// The texts and buttons of the window when it opens (the Ready state).
inline constexpr std::string_view kReadyHeading = "Готов к установке";
inline constexpr std::string_view kReadyDetail =
    "Нажмите «Установить», чтобы получить последнюю опубликованную версию. После загрузки "
    "откроется обычный мастер установки Windows.";
inline constexpr std::string_view kInstallButton = "Установить";
inline constexpr std::string_view kCloseButton = "Закрыть";

// "Загрузчик 0.9.1", the version line before any run has named a release.
std::string initial_version_line();

// Megabytes (bytes / 2^20) with exactly one decimal, correctly rounded.
std::string format_megabytes(std::uint64_t bytes);

class SetupScreen {
 public:
  SetupScreen(ScreenView& view, RunStarter start);

  // The primary button: only while no run is active.
  void start_run();
  // The secondary button and Escape (close false), the close box (close true).
  void request_stop(bool close);
  // Every 100 ms: applies every event waiting, in order.
  void poll_events();

  bool run_active() const { return run_.has_value(); }
  ScreenState state() const { return state_; }
  // Drops the run without waiting for its thread, as the window does when it goes.
  void release() { run_.reset(); }

 private:
  void show_progress(const DownloadProgress& progress);
  void enter_stage(const DownloadProgress& progress);
  void end_run(const std::optional<InstallResult>& result);  // nullopt: the worker vanished
  // The one place where the state changes, once its controls are set.
  void enter(ScreenState state);

  ScreenView& view_;
  RunStarter start_;
  std::optional<RunHandle> run_;
  bool close_requested_ = false;
  bool stopping_ = false;
  ScreenState state_ = ScreenState::Ready;
  std::optional<std::uint32_t> position_;  // the bar's position once the size is known
};

}  // namespace nuvo

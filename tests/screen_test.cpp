// The screen states driven like the window drives them: button presses and
// timer ticks against a worker played by the test, checked by every call the
// window would have received.
#include "ui/screen.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "ui/desktop_signals.h"
#include "ui/window_geometry.h"

namespace nuvo {
namespace {

using Log = std::vector<std::string>;

class RecordingView : public ScreenView {
 public:
  bool controls = true;
  Log log;
  DesktopSignals* desktop = nullptr;  // receives show_state when set

  bool has_controls() const override { return controls; }
  void set_text(ScreenText control, std::string_view utf8) override {
    static constexpr const char* kNames[] = {"version", "heading", "detail"};
    log.push_back(kNames[static_cast<int>(control)] + (": " + std::string(utf8)));
  }
  void set_buttons(const ButtonFace& primary, const ButtonFace& secondary) override {
    log.push_back("buttons: " + label(primary) + " | " + label(secondary));
  }
  void set_progress(std::uint32_t per_mille) override {
    log.push_back("progress: " + std::to_string(per_mille));
  }
  void show_state(const StateSignals& signals, bool heading_changed) override {
    if (desktop != nullptr) desktop->show(signals, heading_changed);
  }
  void destroy() override { log.push_back("destroy"); }

 private:
  static std::string label(const ButtonFace& b) { return b.text + (b.enabled ? "" : " (off)"); }
};

// The window's screen with a starter whose runs the test plays the worker of.
struct Window {
  RecordingView view;
  std::optional<std::string> refusal;  // the starter fails with this text
  std::optional<EventSender<WorkerEvent>> worker;
  std::shared_ptr<RunFlags> flags;
  SetupScreen screen{view, [this]() -> Result<RunHandle, std::string> {
                       if (refusal) return Failure{*refusal};
                       auto [tx, rx] = make_event_channel<WorkerEvent>();
                       worker.emplace(std::move(tx));
                       flags = std::make_shared<RunFlags>();
                       return RunHandle{std::move(rx), flags};
                     }};
};

using Step = std::function<void(Window&)>;

Step start() {
  return [](Window& w) { w.screen.start_run(); };
}
Step tick() {
  return [](Window& w) { w.screen.poll_events(); };
}
Step stop() {
  return [](Window& w) { w.screen.request_stop(false); };
}
Step close() {
  return [](Window& w) { w.screen.request_stop(true); };
}
Step send(WorkerEvent event) {
  return [event](Window& w) { w.worker->send(event); };
}
Step hang_up() {
  return [](Window& w) { w.worker.reset(); };
}
Step launch() {  // the worker's own move of the gate
  return [](Window& w) { w.flags->launch_gate = LaunchGate::Launched; };
}
Step refuse(std::optional<std::string> text) {
  return [text](Window& w) { w.refusal = text; };
}
Step no_controls() {
  return [](Window& w) { w.view.controls = false; };
}

WorkerEvent progress(Stage stage, std::optional<std::string> version, std::uint64_t downloaded = 0,
                     std::optional<std::uint64_t> total = std::nullopt) {
  return DownloadProgress{stage, std::move(version), downloaded, total};
}
WorkerEvent finished(InstallResult result) { return FinishedEvent{std::move(result)}; }

Log join(std::initializer_list<Log> parts) {
  Log out;
  for (const Log& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

constexpr std::string_view kSaved = " МБ. Загрузка сохраняется для продолжения после обрыва.";
const std::string kBroken = "Не удалось скачать Nuvo. Проверьте подключение и повторите попытку.";

const Log kChecking = {
    "heading: Проверяем доступную версию…",
    "detail: Соединяемся с GitHub Releases. При обрыве загрузку можно повторить: уже скачанная "
    "часть остаётся в кэше.",
    "buttons: Загрузка… (off) | Отмена",
    "progress: 0",
};
const Log kStopping = {"heading: Останавливаем загрузку…",
                       "buttons: Загрузка… (off) | Отмена… (off)"};
const Log kWizardOpen = {"heading: Завершите открытый мастер установки"};
const Log kLaunching = {
    "heading: Открываем мастер установки…",
    "detail: Nuvo 1.4.0: подпись проверена. Подтвердите запрос Windows на изменение устройства и "
    "пройдите шаги мастера. Загрузчик дождётся его завершения.",
    "buttons: Установка… (off) | Закрыть (off)",
};
const Log kInstalled = {
    "heading: Мастер установки завершён",
    "detail: Установщик сообщил об успешном завершении. Nuvo можно запустить через меню «Пуск». "
    "Загрузчик можно закрыть.",
    "buttons: Установлено (off) | Закрыть",
};
const Log kCancelled = {
    "heading: Установка отменена",
    "detail: Загруженные данные сохранены. Нажмите «Повторить», чтобы продолжить; проверенный "
    "пакет повторно скачивать не потребуется.",
    "buttons: Повторить | Закрыть",
};
const Log kInterrupted = {
    "heading: Не удалось завершить установку",
    "detail: Загрузка неожиданно прервалась. Можно повторить попытку.",
    "buttons: Повторить | Закрыть",
};
Log failed(std::string_view text) {
  return {"heading: Не удалось завершить установку", "detail: " + std::string(text),
          "buttons: Повторить | Закрыть"};
}
Log version_line(std::string_view release) {
  return {"version: Nuvo " + std::string(release) + " · загрузчик 0.9.1"};
}
const Log kFiveOfHundred = {
    "heading: Скачиваем Nuvo…",
    "progress: 50",
    "detail: Скачано 5.0 из 100.0" + std::string(kSaved),
};

TEST(Screen, Runs) {
  const WorkerEvent downloading = progress(Stage::Downloading, "1.4.0", 5242880, 104857600);
  const struct {
    const char* name;
    std::vector<Step> steps;
    Log log;
    bool active_after;
  } cases[] = {
      {"every stage, then installed",
       {start(), send(progress(Stage::Resolving, std::nullopt)), tick(), send(downloading), tick(),
        send(progress(Stage::Verifying, "1.4.0", 9, 9)),
        send(progress(Stage::Ready, "1.4.0", 9, 9)), tick(), launch(),
        send(LaunchingEvent{"1.4.0"}), tick(), tick(), send(finished(InstallOutcome::Completed)),
        tick()},
       join({kChecking,
             {"heading: Проверяем доступную версию…"},
             version_line("1.4.0"),
             kFiveOfHundred,
             version_line("1.4.0"),
             {"heading: Проверяем цифровую подпись…", "progress: 1000",
              "detail: Проверяем подпись издателя и подписанную версию. Непроверенный файл не "
              "будет запущен."},
             version_line("1.4.0"),
             {"heading: Пакет скачан и проверен"},
             kLaunching,
             kInstalled}),
       false},
      {"cancelled by the installer",
       {start(), send(finished(InstallOutcome::Cancelled)), tick()},
       join({kChecking, kCancelled}),
       false},
      {"a failure text is shown unchanged",
       {start(), send(finished(kBroken)), tick()},
       join({kChecking, failed(kBroken)}),
       false},
      {"worker gone without Finished",
       {start(), send(downloading), hang_up(), tick()},
       join({kChecking, version_line("1.4.0"), kFiveOfHundred, kInterrupted}),
       false},
      {"Finished ends the tick and drops what follows",
       {start(), send(downloading), send(finished(kBroken)), send(downloading), tick(), tick()},
       join({kChecking, version_line("1.4.0"), kFiveOfHundred, failed(kBroken)}),
       false},
      {"cancel hides the progress still queued",
       {start(), stop(), send(downloading), send(finished(InstallOutcome::Cancelled)), tick()},
       join({kChecking, kStopping, kCancelled}),
       false},
      {"a second stop repeats the texts and a close still closes",
       {start(), stop(), close(), send(finished(InstallOutcome::Cancelled)), tick()},
       join({kChecking, kStopping, kStopping, {"destroy"}}),
       false},
      {"close waits for the run's end",
       {start(), close(), tick(), send(finished(InstallOutcome::Cancelled))},
       join({kChecking, kStopping}),
       true},
      {"cancel refused once the wizard is open",
       {start(), launch(), send(LaunchingEvent{"1.4.0"}), tick(), stop(),
        send(finished(InstallOutcome::Completed)), tick()},
       join({kChecking, kLaunching, kWizardOpen, kInstalled}),
       false},
      {"close after the launch destroys without the end state",
       {start(), launch(), send(LaunchingEvent{"1.4.0"}), tick(), close(), tick(),
        send(finished(InstallOutcome::Completed)), tick()},
       join({kChecking, kLaunching, kWizardOpen, {"destroy"}}),
       false},
      {"secondary button while idle", {stop()}, {"destroy"}, false},
      {"close box while idle", {close()}, {"destroy"}, false},
      {"secondary button after a failure",
       {start(), send(finished(kBroken)), tick(), stop()},
       join({kChecking, failed(kBroken), {"destroy"}}),
       false},
      {"no thread for the run, then Retry",
       {refuse(std::string(kNoWorkerThread)), start(), tick(), refuse(std::nullopt), start()},
       join({kChecking, failed(kNoWorkerThread), kChecking}),
       true},
      {"Retry keeps the version line until the new run names one",
       {start(), send(downloading), send(finished(kBroken)), tick(), start(),
        send(progress(Stage::Resolving, std::nullopt)), tick(),
        send(progress(Stage::Downloading, "1.5.0", 5242880, 104857600)), tick()},
       join({kChecking,
             version_line("1.4.0"),
             kFiveOfHundred,
             failed(kBroken),
             kChecking,
             {"heading: Проверяем доступную версию…"},
             version_line("1.5.0"),
             kFiveOfHundred}),
       true},
      {"without controls only destroy reaches the window",
       {no_controls(), start(), send(downloading), send(LaunchingEvent{"1.4.0"}), tick(), stop(),
        close(), hang_up(), tick(), refuse(std::string(kNoWorkerThread)), start(), close()},
       {"destroy", "destroy"},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Window w;
    for (const Step& step : c.steps) step(w);
    EXPECT_EQ(w.view.log, c.log);
    EXPECT_EQ(w.screen.run_active(), c.active_after);
  }
}

// Cancel and Close go through the gate first; once the worker has launched
// the installer neither flag moves.
TEST(Screen, StopAndTheLaunchGate) {
  const struct {
    LaunchGate before;
    bool close;
    LaunchGate after;
    bool cancel_requested;
    Log log;
  } cases[] = {
      {LaunchGate::Working, false, LaunchGate::CancelRequested, true, kStopping},
      {LaunchGate::Working, true, LaunchGate::CancelRequested, true, kStopping},
      {LaunchGate::CancelRequested, false, LaunchGate::CancelRequested, true, kStopping},
      {LaunchGate::Launched, false, LaunchGate::Launched, false, kWizardOpen},
      {LaunchGate::Launched, true, LaunchGate::Launched, false, kWizardOpen},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.before) * 2 + c.close);
    Window w;
    w.screen.start_run();
    w.flags->launch_gate = c.before;
    w.view.log.clear();
    w.screen.request_stop(c.close);
    EXPECT_EQ(w.flags->launch_gate.load(), c.after);
    EXPECT_EQ(w.flags->cancel_requested.load(), c.cancel_requested);
    EXPECT_EQ(w.view.log, c.log);
    EXPECT_TRUE(w.screen.run_active());
  }
}

TEST(Screen, DownloadUpdate) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const struct {
    std::uint64_t downloaded;
    std::optional<std::uint64_t> total;
    std::optional<std::uint32_t> position;  // absent: the bar stays
    const char* amounts;
  } cases[] = {
      {5242880, std::nullopt, std::nullopt, "5.0"},
      {0, 0, 0, "0.0 из 0.0"},
      {1, 0, 1000, "0.0 из 0.0"},
      {3, 0, 1000, "0.0 из 0.0"},
      {999, 1000, 999, "0.0 из 0.0"},
      {1, 1001, 0, "0.0 из 0.0"},
      {2000, 1000, 1000, "0.0 из 0.0"},
      {kMax / 2 + 1, kMax, 500, "8796093022208.0 из 17592186044416.0"},
      {kMax - 1, kMax, 999, "17592186044416.0 из 17592186044416.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.downloaded);
    Window w;
    w.screen.start_run();
    w.worker->send(progress(Stage::Downloading, std::nullopt, c.downloaded, c.total));
    w.view.log.clear();
    w.screen.poll_events();
    Log expected = {"heading: Скачиваем Nuvo…"};
    if (c.position) expected.push_back("progress: " + std::to_string(*c.position));
    expected.push_back("detail: Скачано " + std::string(c.amounts) + std::string(kSaved));
    EXPECT_EQ(w.view.log, expected);
  }
}

TEST(Screen, Megabytes) {
  const struct {
    std::uint64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0.0"},
      {1, "0.0"},
      {52428, "0.0"},  // 0.0499992…
      {52429, "0.1"},  // 0.0500002…
      {1048575, "1.0"},
      {5242880, "5.0"},
      {104857600, "100.0"},
      {1073689395, "1023.9"},  // 1023.9499998…
      {1073689396, "1024.0"},  // 1023.9500007…
      {1048576000000, "1000000.0"},
      {std::numeric_limits<std::uint64_t>::max(), "17592186044416.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_megabytes(c.bytes), c.text) << c.bytes;
}

// Every state once: what the taskbar button and a screen reader are told.
TEST(Screen, StateSignals) {
  using enum ScreenState;
  using enum TaskbarMode;
  constexpr auto kPolite = LiveSetting::Polite;
  constexpr auto kAssertive = LiveSetting::Assertive;
  const struct {
    ScreenState state;
    std::optional<std::uint32_t> position;
    StateSignals signals;
  } cases[] = {
      {Ready, std::nullopt, {{None, 0}, kPolite, false}},
      {Checking, std::nullopt, {{Indeterminate, 0}, kPolite, false}},
      {Resolving, std::nullopt, {{Indeterminate, 0}, kPolite, false}},
      {Downloading, std::nullopt, {{Indeterminate, 0}, kPolite, false}},
      {Downloading, 420, {{Normal, 420}, kPolite, false}},
      {Verifying, 1000, {{Normal, 1000}, kPolite, false}},
      {PackageReady, 1000, {{Normal, 1000}, kPolite, false}},
      {Launching, 1000, {{Normal, 1000}, kPolite, false}},
      {WizardOpen, 1000, {{Normal, 1000}, kPolite, false}},
      {Stopping, 420, {{Paused, 420}, kPolite, false}},
      {Installed, 1000, {{None, 0}, kPolite, true}},
      {Cancelled, std::nullopt, {{Paused, 1000}, kPolite, true}},
      {Failed, 0, {{Error, 1000}, kAssertive, true}},
      {Interrupted, 420, {{Error, 420}, kAssertive, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.state));
    EXPECT_EQ(state_signals(c.state, c.position), c.signals);
  }
}

// The system calls behind the taskbar button and the live region, recorded.
class RecordingDesktop : public TaskbarCalls, public LiveRegionCalls {
 public:
  bool refuse = false;  // every call fails
  Log calls;

  bool connect() override { return record("connect"); }
  bool set_progress(const TaskbarProgress& p) override {
    static constexpr const char* kModes[] = {"none", "indeterminate", "normal", "error", "paused"};
    return record("taskbar: " + std::string(kModes[static_cast<int>(p.mode)]) + " " +
                  std::to_string(p.per_mille));
  }
  void flash() override { record("flash"); }
  bool set_live_setting(LiveSetting live) override {
    return record(live == LiveSetting::Polite ? "live: polite" : "live: assertive");
  }
  void raise_changed() override { record("live region changed"); }

 private:
  bool record(std::string call) {
    calls.push_back(std::move(call));
    return !refuse;
  }
};

Step button_created() {
  return [](Window& w) { w.view.desktop->taskbar_button_created(); };
}

TEST(Screen, DesktopCalls) {
  const WorkerEvent unsized = progress(Stage::Downloading, "1.4.0", 1024);
  const WorkerEvent half = progress(Stage::Downloading, "1.4.0", 5, 10);
  const Log kCheckingCalls = {"taskbar: indeterminate 0", "live: polite", "live region changed"};
  const struct {
    const char* name;
    bool refuse;
    std::vector<Step> steps;
    Log calls;
  } cases[] = {
      {"a run that fails after part of the download",
       false,
       {button_created(), start(), send(progress(Stage::Resolving, std::nullopt)), tick(),
        send(unsized), tick(), send(half), send(half), tick(), send(finished(kBroken)), tick()},
       join({{"connect"},
             kCheckingCalls,
             {"live region changed", "taskbar: normal 500", "taskbar: error 500", "live: assertive",
              "live region changed", "flash"}})},
      {"the button appears during the run, and again",
       false,
       {start(), send(half), tick(), button_created(), button_created(), stop()},
       {"live: polite", "live region changed", "live region changed", "connect",
        "taskbar: normal 500", "connect", "taskbar: normal 500", "taskbar: paused 500",
        "live region changed"}},
      {"installed, then closed",
       false,
       {button_created(), start(), launch(), send(LaunchingEvent{"1.4.0"}), tick(),
        send(finished(InstallOutcome::Completed)), tick(), stop()},
       join({{"connect"},
             kCheckingCalls,
             {"live region changed", "taskbar: none 0", "live region changed", "flash"}})},
      {"a shell that refuses every call",
       true,
       {button_created(), start(), send(half), tick(), send(finished(kBroken)), tick(), start()},
       {"connect", "live: polite", "live region changed", "live: polite", "live region changed",
        "live: assertive", "live region changed", "flash", "live: polite", "live region changed"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingDesktop calls;
    calls.refuse = c.refuse;
    DesktopSignals desktop(calls, calls);
    Window w;
    w.view.desktop = &desktop;
    for (const Step& step : c.steps) step(w);
    EXPECT_EQ(calls.calls, c.calls);
  }
}

// The window's first size at the system DPI, and the second look once it
// exists on a monitor whose DPI differs: a frame of 16 by 39 pixels at 96 DPI,
// scaled, around the client area.
TEST(WindowGeometry, FirstGuessAndTheWindowsOwnDpi) {
  EXPECT_EQ(client_size(144), (WindowSize{930, 645}));
  EXPECT_EQ(client_size(72), (WindowSize{620, 430}));  // never below 96 DPI
  const ScreenRect full_hd{0, 0, 1920, 1040};
  EXPECT_EQ(centre_in({636, 469}, full_hd), (WindowPlacement{642, 285, 636, 469}));
  EXPECT_EQ(centre_in({636, 469}, {100, 50, 600, 400}), (WindowPlacement{100, 50, 636, 469}));

  const OuterSize frame = [](unsigned dpi) -> std::optional<WindowSize> {
    const WindowSize client = client_size(dpi);
    return WindowSize{client.width + scale(16, dpi), client.height + scale(39, dpi)};
  };
  const OuterSize unknown = [](unsigned) -> std::optional<WindowSize> { return std::nullopt; };
  const struct {
    const char* name;
    unsigned guessed, window_dpi;
    OuterSize outer;
    ScreenRect work;
    std::optional<WindowPlacement> expected;
  } cases[] = {
      {"the same DPI: the first guess stands", 96, 96, frame, full_hd, std::nullopt},
      {"both at or below 96 count as 96", 96, 72, frame, full_hd, std::nullopt},
      {"the monitor scales by 150 %: larger", 96, 144, frame, full_hd,
       WindowPlacement{483, 168, 954, 703}},
      {"the system DPI was larger than the monitor's: smaller", 144, 96, frame, full_hd,
       WindowPlacement{642, 285, 636, 469}},
      {"centred on that monitor, at its top where it is not tall enough",
       96,
       192,
       frame,
       {1920, 0, 3200, 720},
       WindowPlacement{1924, 0, 1272, 938}},
      {"the frame cannot be measured: the first guess stands", 96, 144, unknown, full_hd,
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(placement_at_window_dpi(c.guessed, c.window_dpi, c.outer, c.work), c.expected);
  }
}

}  // namespace
}  // namespace nuvo

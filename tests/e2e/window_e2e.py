#!/usr/bin/env python3
"""The setup window for real: NuvoSetup.exe under Wine on a virtual display
(Xvfb), driven from outside by tests/window_driver.cpp, against the scripted
HTTPS server. Checks the Ready screen's layout at 96 and 144 DPI, colours
sampled from the screen, every control as a screen reader reads it (name,
role, state), the ways an idle window closes, and whole runs
through every screen, saving a screenshot of each state (PNG) into the
folder named by NUVO_SCREENSHOTS (default: a folder under /tmp, printed).
Usage: window_e2e.py <NuvoSetup.exe> <window_driver.exe> <test_installer.exe> <release host>"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import harness
from window_harness import Display, Window, set_dpi

if len(sys.argv) < 5:
    sys.exit(__doc__)
DRIVER = Path(sys.argv.pop(2)).resolve()
TEST_INSTALLER = Path(sys.argv.pop(2)).resolve()
EXE = harness.program_and_host(sys.argv, "")

HOST = "nuvor.test"
VERSION = "1.4.2"
ETAG = '"u1"'
SHOTS = Path(os.environ.get("NUVO_SCREENSHOTS") or tempfile.mkdtemp(prefix="nuvo-screens-"))

READY_DETAIL = ("Нажмите «Установить», чтобы получить последнюю опубликованную версию. "
                "После загрузки откроется обычный мастер установки Windows.")
# (class, id, style without WS_CHILD | WS_VISIBLE, text, rect at 96 DPI)
LAYOUT = [
    ("Static", 0, 0, "Nuvo", (80, 24, 500, 40)),
    ("Static", 0, 0, "Онлайн-установка", (80, 64, 500, 24)),
    ("Static", 0, 0, "Загрузчик 0.9.1", (28, 96, 564, 22)),
    ("Static", 0, 0, "Нужен интернет. Скачаем полный пакет Nuvo с GitHub Releases и проверим его "
     "подпись перед установкой.", (28, 124, 564, 44)),
    ("Static", 0, 0, "Готов к установке", (28, 184, 564, 24)),
    ("msctls_progress32", 0, 0x1, "Ход установки", (28, 219, 564, 14)),
    ("Edit", 0, 0x210844, READY_DETAIL, (28, 247, 564, 69)),
    ("Static", 0, 0, "Модели распознавания скачиваются отдельно в приложении.", (28, 327, 564, 22)),
    ("Button", 1001, 0x1000B, "Установить", (418, 366, 174, 40)),
    ("Button", 1002, 0x1000B, "Закрыть", (28, 366, 128, 40)),
]
COLOURS = {"background": (23, 27, 33), "primary face": (30, 52, 67),
           "secondary face": (33, 39, 48), "primary frame": (48, 119, 154),
           "secondary frame": (62, 72, 85), "progress background": (38, 47, 59),
           "progress fill": (88, 187, 236), "disabled face": (30, 35, 42)}
WS_CHILD_VISIBLE = 0x50000000
ROLE_CLIENT, ROLE_STATIC, ROLE_TEXT, ROLE_BUTTON, ROLE_PROGRESS = 10, 41, 42, 43, 48
STATE_UNAVAILABLE, STATE_FOCUSED = 0x1, 0x4
# The role each control's standard proxy reports on Windows. Wine's oleacc
# has a proxy of its own only for edit controls and calls the others clients.
ROLES = [ROLE_STATIC] * 5 + [ROLE_PROGRESS, ROLE_TEXT, ROLE_STATIC, ROLE_BUTTON, ROLE_BUTTON]


def texts(state):
    return [c["text"] for c in state["children"]]


def buttons(state):
    """(text, enabled) of the primary and the secondary button."""
    by_id = {c["id"]: c for c in state["children"]}
    return [(by_id[i]["text"], by_id[i]["enabled"]) for i in (1001, 1002)]


HEADING, DETAIL, VERSION_LINE = 4, 6, 2
CACHE = harness.WINE_C / "users" / os.environ.get("USER", "root") / "AppData" / "Local" / "NuvoSetup"
INSTALLER_PATH = harness.installer_path(VERSION)
SIGNATURE = harness.sign(TEST_INSTALLER.read_bytes(), VERSION)
INSTALLED = ("Мастер установки завершён",
             "Установщик сообщил об успешном завершении. Nuvo можно запустить через меню «Пуск». "
             "Загрузчик можно закрыть.")
CANCELLED = ("Установка отменена",
             "Загруженные данные сохранены. Нажмите «Повторить», чтобы продолжить; проверенный "
             "пакет повторно скачивать не потребуется.")
FAILED = "Не удалось завершить установку"
WIZARD = ("Nuvo 1.4.2: подпись проверена. Подтвердите запрос Windows на изменение устройства и "
          "пройдите шаги мастера. Загрузчик дождётся его завершения.")


def scenario(*manifest_before, drip=32768, installer_file=TEST_INSTALLER, signature=SIGNATURE):
    installer = {"status": 200, "headers": [["ETag", ETAG]], "body": {"file": str(installer_file)},
                 "range": True}
    if drip:
        installer["drip"] = {"bytes": drip, "interval": 0.1}
    return harness.scenario(
        harness.route(HOST, harness.MANIFEST_PATH, *manifest_before,
                      harness.manifest_response(VERSION, HOST, signature)),
        harness.route(HOST, INSTALLER_PATH, installer))


def padded_installer(folder, size=128 << 20):
    """The test installer with data appended up to `size` (it still runs), so
    that its verification lasts long enough to be seen; and its signature."""
    path = folder / "padded-installer.exe"
    with open(path, "wb") as out:
        out.write(TEST_INSTALLER.read_bytes())
        while out.tell() < size:
            out.write(harness.generated_bytes(out.tell(), min(out.tell() + (1 << 22), size), 5))
    return path, harness.sign(path, VERSION)


class SetupWindow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        SHOTS.mkdir(parents=True, exist_ok=True)
        harness.ensure_network()
        cls.server = harness.ReleaseServer()
        cls.display = Display()

    @classmethod
    def tearDownClass(cls):
        set_dpi(96)
        cls.display.close()
        cls.server.stop()
        print(f"screenshots: {SHOTS}", file=sys.stderr)

    def open(self, **kw):
        w = Window(EXE, DRIVER, SHOTS, **kw)
        self.addCleanup(w.kill)
        return w

    def check_ready_layout(self, dpi):
        set_dpi(dpi)
        w = self.open()
        state = w.dump()
        s = lambda v: v * dpi // 96  # noqa: E731
        self.assertEqual(state["title"], "Установка Nuvo")
        self.assertEqual(state["client"], [s(620), s(430)])
        self.assertEqual(state["user_reply"], 1397425129)
        self.assertEqual(state["focus_id"], 1001)
        self.assertEqual(state["progress"], {"min": 0, "max": 1000, "pos": 0})
        got = [(c["class"], c["id"], c["style"] & ~WS_CHILD_VISIBLE, c["text"], tuple(c["rect"]))
               for c in state["children"]]
        want = [(cls, i, style, text, tuple(s(v) for v in rect))
                for cls, i, style, text, rect in LAYOUT]
        self.assertEqual(got, want)
        self.assertTrue(all(c["enabled"] for c in state["children"]))
        pixel = w.shot(f"ready-{dpi}dpi")
        samples = {"background": (s(5), s(5)), "primary frame": (s(418), s(366) + s(20)),
                   "primary face": (s(418) + 2, s(366) + 2), "secondary face": (s(28) + 2, s(366) + 2),
                   "secondary frame": (s(28), s(366) + s(20)),
                   "progress background": (s(28) + s(300), s(219) + s(7))}
        for name, (x, y) in samples.items():
            self.assertEqual(pixel(x, y), COLOURS[name], f"{name} at {x},{y}")
        w.driver("close")
        self.assertEqual(w.exit_code(), 0)

    def test_ready_screen_at_96_dpi(self):
        self.check_ready_layout(96)

    def test_ready_screen_at_144_dpi(self):
        self.check_ready_layout(144)

    def installer_env(self, exit_code=0, sleep_ms=1500, hold=False):
        """The test installer's settings; with `hold`, it runs until the test
        removes `self.hold`."""
        tmp = harness.scratch_dir(EXE, "nuvo-window-")
        self.addCleanup(shutil.rmtree, tmp, True)
        self.record = tmp / "record.jsonl"
        self.exit_file = tmp / "exit.txt"
        self.exit_file.write_text(str(exit_code))
        env = {"NUVO_TEST_INSTALLER_RECORD": harness.native_path(EXE, self.record),
               "NUVO_TEST_INSTALLER_EXIT_FILE": harness.native_path(EXE, self.exit_file),
               "NUVO_TEST_INSTALLER_SLEEP_MS": str(sleep_ms)}
        if hold:
            self.hold = tmp / "hold"
            self.hold.touch()
            env["NUVO_TEST_INSTALLER_HOLD_FILE"] = harness.native_path(EXE, self.hold)
        return env

    def fresh_cache(self):
        shutil.rmtree(CACHE, ignore_errors=True)
        self.addCleanup(shutil.rmtree, CACHE, True)

    def follow(self, w, name, until, timeout=90):
        """Every screen the window shows until `until(state)`, one screenshot
        per new heading; returns the states seen."""
        seen, headings = [], []
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            state = w.dump()
            seen.append(state)
            heading = state["children"][HEADING]["text"]
            if heading not in headings:
                headings.append(heading)
                w.shot(f"{name}-{len(headings)}")
            if until(state):
                return seen, headings
        raise AssertionError(f"{name}: stuck at {headings}")

    def test_a_whole_installation_then_retries_from_the_cache(self):
        set_dpi(96)
        self.fresh_cache()
        server = self.server
        server.load(scenario())
        w = self.open(env=self.installer_env(exit_code=0))
        w.driver("click", "1001")
        seen, headings = self.follow(w, "install", lambda s: s["children"][HEADING]["text"] == INSTALLED[0])
        self.assertEqual([h for h in headings if h in (
            "Проверяем доступную версию…", "Скачиваем Nuvo…", "Открываем мастер установки…",
            INSTALLED[0])], ["Проверяем доступную версию…", "Скачиваем Nuvo…",
                             "Открываем мастер установки…", INSTALLED[0]])
        downloading = [s for s in seen if s["children"][HEADING]["text"] == "Скачиваем Nuvo…"]
        positions = [s["progress"]["pos"] for s in downloading]
        self.assertEqual(positions, sorted(positions))
        self.assertTrue(0 < positions[-1] <= 1000, positions)
        self.assertRegex(downloading[-1]["children"][DETAIL]["text"],
                         r"^Скачано \d+\.\d из 0\.\d МБ\. Загрузка сохраняется для продолжения после обрыва\.$")
        self.assertEqual(downloading[-1]["children"][VERSION_LINE]["text"], "Nuvo 1.4.2 · загрузчик 0.9.1")
        wizard = [s for s in seen if s["children"][HEADING]["text"] == "Открываем мастер установки…"]
        self.assertTrue(wizard)
        self.assertEqual(wizard[0]["children"][DETAIL]["text"], WIZARD)
        self.assertEqual(buttons(wizard[0]), [("Установка…", False), ("Закрыть", False)])
        end = seen[-1]
        self.assertEqual(end["children"][DETAIL]["text"], INSTALLED[1])
        self.assertEqual(buttons(end), [("Установлено", False), ("Закрыть", True)])
        self.assertEqual(end["progress"]["pos"], 1000)
        pixel = w.shot("install-installed")
        self.assertEqual(pixel(28 + 5, 219 + 7), COLOURS["progress fill"])
        self.assertEqual(pixel(418 + 2, 366 + 2), COLOURS["disabled face"])
        w.driver("click", "1002")
        self.assertEqual(w.exit_code(), 0)

        # The installer says cancelled (1), then fails (2): Retry launches the
        # cached package again, without a download.
        w = self.open(env=self.installer_env(exit_code=1, sleep_ms=200))
        w.driver("click", "1001")
        seen, _ = self.follow(w, "retry-cancelled", lambda s: s["children"][HEADING]["text"] == CANCELLED[0])
        self.assertEqual(seen[-1]["children"][DETAIL]["text"], CANCELLED[1])
        self.assertEqual(buttons(seen[-1]), [("Повторить", True), ("Закрыть", True)])
        self.exit_file.write_text("2")
        w.driver("click", "1001")
        seen, _ = self.follow(w, "retry-failed", lambda s: s["children"][HEADING]["text"] == FAILED)
        self.assertEqual(seen[-1]["children"][DETAIL]["text"],
                         "Установка не завершилась (код 2). Загруженный пакет сохранён; можно "
                         "повторить попытку.")
        self.assertEqual(seen[-1]["children"][VERSION_LINE]["text"], "Nuvo 1.4.2 · загрузчик 0.9.1")
        installer_requests = [r for r in server.requests() if r["target"] == INSTALLER_PATH]
        self.assertEqual(len(installer_requests), 1)
        self.assertEqual(len(self.record.read_text().splitlines()), 2)
        w.driver("key", "escape")
        self.assertEqual(w.exit_code(), 0)

    def test_a_whole_installation_at_144_dpi(self):
        set_dpi(144)
        self.addCleanup(set_dpi, 96)
        self.fresh_cache()
        padded, signature = padded_installer(SHOTS)
        self.addCleanup(padded.unlink)
        self.server.load(scenario(drip=0, installer_file=padded, signature=signature))
        w = self.open(env=self.installer_env(sleep_ms=0, hold=True))
        w.driver("click", "1001")
        seen, _ = self.follow(w, "install-144dpi",
                              lambda s: s["children"][HEADING]["text"] == "Открываем мастер установки…")
        self.hold.unlink()
        rest, headings = self.follow(w, "install-144dpi-end",
                                     lambda s: s["children"][HEADING]["text"] == INSTALLED[0])
        seen += rest
        verifying = [s for s in seen if s["children"][HEADING]["text"] == "Проверяем цифровую подпись…"]
        self.assertTrue(verifying, headings)
        self.assertEqual(verifying[0]["children"][DETAIL]["text"],
                         "Проверяем подпись издателя и подписанную версию. Непроверенный файл не "
                         "будет запущен.")
        self.assertEqual(verifying[0]["progress"]["pos"], 1000)
        state = w.dump()
        self.assertEqual(state["children"][8]["rect"], [627, 549, 261, 60])
        w.driver("close")
        self.assertEqual(w.exit_code(), 0)

    def test_cancel_and_close_during_the_download_and_the_wizard(self):
        set_dpi(96)
        self.fresh_cache()
        self.server.load(scenario(drip=8192))
        # Cancel: Stopping at once, then Cancelled, and the part stays.
        w = self.open(env=self.installer_env())
        w.driver("click", "1001")
        self.follow(w, "cancel", lambda s: s["children"][HEADING]["text"] == "Скачиваем Nuvo…")
        state = w.driver("press", "1002")
        self.assertEqual(state["children"][HEADING]["text"], "Останавливаем загрузку…")
        self.assertEqual(buttons(state), [("Загрузка…", False), ("Отмена…", False)])
        w.shot("cancel-stopping")
        seen, _ = self.follow(w, "cancel-end", lambda s: s["children"][HEADING]["text"] == CANCELLED[0])
        parts = list(CACHE.glob("cache/*/installer.part"))
        self.assertEqual(len(parts), 1)
        self.assertGreater(parts[0].stat().st_size, 0)
        # Close during the download: the window goes once the run has ended.
        w.driver("click", "1001")
        self.follow(w, "close", lambda s: s["children"][HEADING]["text"] == "Скачиваем Nuvo…")
        w.driver("close")
        self.assertEqual(w.exit_code(), 0)

        # Cancel and close while the installer runs: refused on screen; the
        # window waits for the installer.
        self.server.load(scenario(drip=0))
        w = self.open(env=self.installer_env(sleep_ms=0, hold=True))
        w.driver("click", "1001")
        self.follow(w, "wizard", lambda s: s["children"][HEADING]["text"] == "Открываем мастер установки…")
        w.driver("click", "1002")
        w.driver("key", "escape")
        w.driver("close")
        state = w.dump()
        self.assertEqual(state["children"][HEADING]["text"], "Завершите открытый мастер установки")
        self.assertEqual(buttons(state), [("Установка…", False), ("Закрыть", False)])
        w.shot("wizard-still-open")
        self.hold.unlink()
        self.assertEqual(w.exit_code(timeout=60), 0)
        self.assertEqual(len(self.record.read_text().splitlines()), 1)

    def test_failures_before_the_launch(self):
        set_dpi(96)
        self.fresh_cache()
        self.server.load(harness.scenario(harness.route(HOST, harness.MANIFEST_PATH, {"status": 404})))
        w = self.open(env=self.installer_env())
        w.driver("click", "1001")
        seen, _ = self.follow(w, "manifest-404", lambda s: s["children"][HEADING]["text"] == FAILED)
        self.assertEqual(seen[-1]["children"][DETAIL]["text"],
                         "Не удалось скачать Nuvo. Проверьте подключение и повторите попытку.")
        self.assertEqual(buttons(seen[-1]), [("Повторить", True), ("Закрыть", True)])
        w.driver("close")
        self.assertEqual(w.exit_code(), 0)

        # A newer copy registered: the refusal, and the installer never starts.
        key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Nuvo"
        subprocess.run(["wine", "reg", "add", key, "/v", "DisplayName", "/d", "Nuvo", "/f"], check=True,
                       capture_output=True)
        self.addCleanup(subprocess.run, ["wine", "reg", "delete", key, "/f"], capture_output=True)
        subprocess.run(["wine", "reg", "add", key, "/v", "DisplayVersion", "/d", "9.0.0", "/f"],
                       check=True, capture_output=True)
        self.server.load(scenario(drip=0))
        w = self.open(env=self.installer_env())
        w.driver("click", "1001")
        seen, _ = self.follow(w, "downgrade", lambda s: s["children"][HEADING]["text"] == FAILED)
        self.assertEqual(seen[-1]["children"][DETAIL]["text"],
                         "Уже установлена Nuvo 9.0.0. В канале обновлений доступна более старая "
                         "версия 1.4.2; установка остановлена. Используйте обновления внутри Nuvo "
                         "или дождитесь нового релиза.")
        self.assertFalse(self.record.exists())
        seen_before = seen[-1]["children"][DETAIL]["text"]

        # Another run holds the cache (a --download-only of the same user).
        subprocess.run(["wine", "reg", "delete", key, "/f"], capture_output=True)
        shutil.rmtree(CACHE, ignore_errors=True)
        self.server.load(scenario(drip=2048))
        holder = subprocess.Popen(["wine", str(EXE), "--download-only"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, env=dict(os.environ, WINEDEBUG="-all"))
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        end = time.monotonic() + 30
        while not list(CACHE.glob("cache/*/installer.part")) and time.monotonic() < end:
            time.sleep(0.1)
        w.driver("click", "1001")
        seen, _ = self.follow(w, "busy", lambda s: s["children"][HEADING]["text"] == FAILED
                              and s["children"][DETAIL]["text"] != seen_before)
        self.assertEqual(seen[-1]["children"][DETAIL]["text"],
                         "Другой установщик Nuvo уже использует этот каталог загрузки.")

    def test_every_control_as_a_screen_reader_reads_it(self):
        set_dpi(96)
        self.fresh_cache()
        self.server.load(scenario(drip=4096))
        w = self.open(env=self.installer_env())

        def check(names, unavailable):
            controls = w.driver("accessible")
            self.assertEqual([c["name"] for c in controls], names)
            for c, role in zip(controls, ROLES):
                self.assertIn(c["role"], (role, ROLE_CLIENT), c["name"])
            self.assertEqual([bool(c["state"] & STATE_UNAVAILABLE) for c in controls], unavailable)
            return controls

        # Static texts and buttons are named by their text, the bar by its
        # own, the detail text by the heading above it (its label).
        names = [text for _, _, _, text, _ in LAYOUT]
        names[DETAIL] = names[HEADING]
        ready = check(names, [False] * 10)
        self.assertEqual(ready[DETAIL]["role"], ROLE_TEXT)
        self.assertEqual(ready[DETAIL]["value"], READY_DETAIL)
        self.assertTrue(ready[8]["state"] & STATE_FOCUSED)
        w.driver("click", "1001")
        w.wait_for(lambda s: s["children"][HEADING]["text"] == "Скачиваем Nuvo…")
        names[VERSION_LINE] = "Nuvo 1.4.2 · загрузчик 0.9.1"
        names[HEADING] = names[DETAIL] = "Скачиваем Nuvo…"
        names[8:] = ["Загрузка…", "Отмена"]
        check(names, [False] * 8 + [True, False])
        w.driver("close")
        self.assertEqual(w.exit_code(), 0)

    def test_an_idle_window_closes_every_way(self):
        set_dpi(96)
        # Tab moves the focus from Install to Close; Enter presses Close.
        for how in (("key", "escape"), ("click", "1002"), ("close",), ("key", "tab", "enter")):
            with self.subTest(how):
                w = self.open()
                w.driver(*how)
                self.assertEqual(w.exit_code(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)

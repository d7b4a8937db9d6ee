"""The setup window under Wine on a virtual display: Xvfb, a wineserver that
draws on it, the window started without arguments and seen through
tests/window_driver.cpp, and screenshots as PNG files."""

import json
import os
import struct
import subprocess
import time
import zlib

import harness


def png_from_bmp(bmp, png):
    """Our own capture (24-bit bottom-up BMP) as a PNG, and its pixels."""
    data = bmp.read_bytes()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height):
        row = data[offset + (height - 1 - y) * stride:][:width * 3]
        rows.append(bytes(b for i in range(0, len(row), 3) for b in (row[i + 2], row[i + 1], row[i])))
    raw = b"".join(b"\0" + r for r in rows)

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    png.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                    + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))
    return lambda x, y: tuple(rows[y][3 * x:3 * x + 3])


class Display:
    """Xvfb, and a wineserver whose programs draw on it."""

    def __init__(self):
        # Xvfb picks a free display and names it on the pipe once it accepts
        # clients, so no test starts drawing before the server is there.
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                      "1600x1000x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as named:
            number = named.readline().strip()
        if not number.isdigit():
            raise RuntimeError(f"Xvfb did not start (exit code {self.xvfb.wait()})")
        self.number = int(number)
        os.environ["DISPLAY"] = f":{self.number}"
        self.restart_wine()

    @staticmethod
    def restart_wine():
        subprocess.run(["wineserver", "-k"], check=False, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], check=False, stderr=subprocess.DEVNULL)
        harness.warm_wine()

    def close(self):
        subprocess.run(["wineserver", "-k"], check=False, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], check=False, stderr=subprocess.DEVNULL)
        os.environ.pop("DISPLAY", None)
        self.xvfb.terminate()
        self.xvfb.wait()
        harness.warm_wine()


def set_dpi(dpi):
    subprocess.run(["wine", "reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels",
                    "/t", "REG_DWORD", "/d", str(dpi), "/f"], check=True, capture_output=True)


class Window:
    """One NuvoSetup.exe without arguments, and the driver's view of it;
    screenshots go to `shots`."""

    def __init__(self, exe, driver, shots, env=None, cwd=None, stderr=subprocess.DEVNULL):
        self.driver_exe = driver
        self.shots = shots
        full_env = {k: v for k, v in os.environ.items() if k not in harness.PROXY_VARIABLES}
        full_env["WINEDEBUG"] = "-all"
        full_env.update(env or {})
        self.proc = subprocess.Popen(["wine", str(exe)], env=full_env, cwd=cwd,
                                     stdout=subprocess.DEVNULL, stderr=stderr)
        self.driver("wait", "30000")

    def driver(self, *args, check=True):
        run = subprocess.run(["wine", str(self.driver_exe), *args], capture_output=True,
                             env=dict(os.environ, WINEDEBUG="-all"), timeout=60)
        if check and run.returncode != 0:
            raise AssertionError(f"window_driver {' '.join(args)}: {run.stderr.decode()}")
        out = run.stdout.decode().strip()
        return json.loads(out) if out else None

    def dump(self):
        return self.driver("dump")

    def heading(self):
        return self.dump()["children"][4]["text"]

    def shot(self, name):
        bmp = self.shots / f"{name}.bmp"
        self.driver("capture", "Z:" + str(bmp))
        pixel = png_from_bmp(bmp, self.shots / f"{name}.png")
        bmp.unlink()
        return pixel

    def wait_for(self, predicate, timeout=60):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            state = self.dump()
            if predicate(state):
                return state
            time.sleep(0.05)
        raise AssertionError(f"the window never reached the state; last: {state}")

    def exit_code(self, timeout=30):
        return self.proc.wait(timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

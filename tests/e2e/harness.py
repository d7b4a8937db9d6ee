"""What the end-to-end tests share: the loopback test network, the scripted
release server (tests/server/release_server.py), and running the program
natively or, for a .exe, under Wine.

    import harness
    harness.ensure_network()
    with harness.ReleaseServer(harness.scenario(
            harness.route("nuvor.test", "/x", {"status": 200, "body": "hi"}))) as server:
        run = harness.run(exe, "--check-only")
        assert server.requests()[0]["headers"] ...
"""

import base64
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SERVER = REPO / "tests" / "server" / "release_server.py"
NETWORK_SCRIPT = REPO / "scripts" / "test-network"
NETWORK_JSON = Path(os.environ.get("NUVO_TEST_NETWORK_DIR", "/var/lib/nuvo-test-network")) / "network.json"

sys.path.insert(0, str(SERVER.parent))
from release_server import generated_bytes  # noqa: E402  (re-exported for the tests)


def ensure_network():
    """Sets the test network up (it is idempotent and quick) and returns its description."""
    if os.geteuid() == 0:
        subprocess.run([str(NETWORK_SCRIPT)], check=True, stdout=subprocess.DEVNULL)
    elif not NETWORK_JSON.exists():
        raise RuntimeError(f"the test network is not set up: run {NETWORK_SCRIPT} as root")
    return json.loads(NETWORK_JSON.read_text())


def route(host, path, *responses):
    """One scripted route; the last response repeats."""
    return {"host": host, "path": path, "responses": list(responses) or [{}]}


def scenario(*routes):
    return {"routes": list(routes)}


FIXTURES = REPO / "tests" / "fixtures"
REPOSITORY = "graycrane42/nuvo"
MANIFEST_PATH = f"/{REPOSITORY}/releases/latest/download/latest.json"


def installer_path(version):
    return f"/{REPOSITORY}/releases/download/v{version}/Nuvo_{version}_x64-setup.exe"


def sign(data, version):
    """The published signature text (base64) of `data` (bytes, or the Path of
    a file), made by the real minisign with the development key."""
    with tempfile.TemporaryDirectory() as d:
        f = Path(d) / "NuvoInstaller.exe"
        if isinstance(data, Path):
            f = data
        else:
            f.write_bytes(data)
        sig = Path(d) / "installer.minisig"
        subprocess.run(["minisign", "-S", "-s", FIXTURES / "dev.key", "-m", f, "-x", sig,
                        "-t", f"timestamp:1\tfile:Nuvo_{version}_x64-setup.exe\tversion:{version}"],
                       check=True, capture_output=True, stdin=subprocess.DEVNULL)
        return base64.b64encode(sig.read_bytes()).decode()


def manifest_response(version, host, signature):
    body = ('{"version":"%s","platforms":{"windows-x86_64":{"url":"https://%s%s","signature":"%s"}}}'
            % (version, host, installer_path(version), signature))
    return {"status": 200, "body": body}


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return f"{h:016x}"


class ReleaseServer:
    """The scripted server, controlled over its stdin and stdout. It stops with
    stop(), at the end of a with block, or by itself when this process dies."""

    def __init__(self, scenario_=None, lifetime=900, ready_timeout=600):
        if not NETWORK_JSON.exists():
            ensure_network()
        self._lock = threading.Lock()
        self._proc = subprocess.Popen(
            [sys.executable, str(SERVER), "--control", "--network", str(NETWORK_JSON),
             "--lifetime", str(lifetime)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        # Another test run may hold the network; the server waits for it.
        ready = self._read_line(ready_timeout)
        if not ready or not ready.get("ready"):
            self.stop()
            raise RuntimeError(f"release server did not start: {ready!r}")
        if scenario_ is not None:
            self.load(scenario_)

    def _read_line(self, timeout):
        result = []
        reader = threading.Thread(target=lambda: result.append(self._proc.stdout.readline()),
                                  daemon=True)
        reader.start()
        reader.join(timeout)
        if not result or not result[0]:
            return None
        return json.loads(result[0])

    def _command(self, **cmd):
        with self._lock:
            self._proc.stdin.write(json.dumps(cmd) + "\n")
            self._proc.stdin.flush()
            reply = self._read_line(30)
        if not reply or not reply.get("ok"):
            raise RuntimeError(f"release server refused {cmd.get('cmd')}: {reply!r}")
        return reply

    def load(self, scenario_):
        """Replaces the scenario and empties the request log."""
        self._command(cmd="load", scenario=scenario_)

    def requests(self):
        """Every request so far: host, address, sni, method, target (origin
        form), raw_target, version, headers ([name, value] in order) and
        response (the index in its route's list, or None when unscripted)."""
        return self._command(cmd="log")["requests"]

    def clear(self):
        self._command(cmd="clear")

    def stop(self):
        if self._proc.poll() is None:
            try:
                self._proc.stdin.write(json.dumps({"cmd": "stop"}) + "\n")
                self._proc.stdin.close()
            except (BrokenPipeError, ValueError):
                pass
            try:
                self._proc.wait(10)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()
        self._proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


@dataclass
class Run:
    returncode: int  # None when it was killed at the timeout
    stdout: bytes
    stderr: bytes
    seconds: float

    @property
    def timed_out(self):
        return self.returncode is None


def warm_wine():
    """Starts one wineserver that outlives the runs, and Wine's own background
    programs with it. They must not start inside a test's run: they would
    inherit its output pipes and hold them open long after it ends, so every
    capture would wait for them."""
    env = dict(os.environ, WINEDEBUG="-all")
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-p120"], env=env, check=False, **quiet)
    subprocess.run(["wine", "cmd", "/c", "exit"], env=env, check=False, **quiet)


# Under Wine the test caches live on drive C: (the prefix's drive_c), as real
# ones do; Wine's Z: drive is the Unix root, whose mount points Wine reports
# as reparse points, which the cache rightly refuses to walk through.
WINE_C = Path(os.environ.get("WINEPREFIX", Path.home() / ".wine")) / "drive_c"


def scratch_dir(exe, prefix):
    """A new folder the program under test can use as a cache."""
    base = None
    if is_windows(exe):
        base = WINE_C / "nuvo-tests"
        base.mkdir(parents=True, exist_ok=True)
    return Path(tempfile.mkdtemp(prefix=prefix, dir=base))


def native_path(exe, path):
    """How the program under test names a path of this machine."""
    if is_windows(exe):
        return "C:\\" + str(Path(path).relative_to(WINE_C)).replace("/", "\\")
    return str(path)


def program_and_host(argv, usage):
    """The executable and the release host it was configured with, taken from
    the command line; exits quietly for a build that does not talk to the
    test channel."""
    if len(argv) < 3:
        sys.exit(usage)
    exe, host = Path(argv.pop(1)).resolve(), argv.pop(1)
    if host != TEST_RELEASE_HOST:
        print(f"skipped: this build talks to {host}, not the test channel {TEST_RELEASE_HOST}")
        sys.exit(0)
    if is_windows(exe):
        warm_wine()
    return exe


TEST_RELEASE_HOST = "nuvor.test"


def request_timeout(exe):
    """Seconds the build of exe waits for a response head and for each body
    read (NUVO_REQUEST_TIMEOUT), read from the CMake cache of the build that
    holds it."""
    for folder in Path(exe).resolve().parents:
        cache = folder / "CMakeCache.txt"
        if cache.exists():
            for line in cache.read_text(errors="replace").splitlines():
                if line.startswith("NUVO_REQUEST_TIMEOUT:"):
                    return float(line.partition("=")[2])
            raise RuntimeError(f"{cache} sets no NUVO_REQUEST_TIMEOUT")
    raise RuntimeError(f"{exe} lies in no CMake build folder")


def is_windows(exe):
    return str(exe).lower().endswith(".exe")


def command(exe, *args):
    """The command line that runs exe: directly, or under Wine for a .exe."""
    return (["wine", str(exe)] if is_windows(exe) else [str(exe)]) + [str(a) for a in args]


PROXY_VARIABLES = ("http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                   "ALL_PROXY", "no_proxy", "NO_PROXY")


def run(exe, *args, timeout=120, env=None, stdin=b"", cwd=None):
    """Runs exe with args and returns its exit code, output bytes and duration.
    The proxy variables of this environment are not passed on: the test
    network is reached directly unless `env` names a proxy. On timeout the
    whole process group is killed and returncode is None. `stdin` may be a
    function: it is called once the program runs, waits for what the test
    needs to have seen, and returns the bytes to send."""
    full_env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
    full_env["WINEDEBUG"] = "-all"
    full_env.update(env or {})
    start = time.monotonic()
    proc = subprocess.Popen(command(exe, *args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=full_env, start_new_session=True,
                            cwd=cwd)
    try:
        if callable(stdin):
            stdin = stdin()
        out, err = proc.communicate(stdin, timeout=timeout)
        code = proc.returncode
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        code = None
    return Run(code, out, err, time.monotonic() - start)


def make_publisher_certificate(folder):
    """A throwaway self-signed code-signing certificate in folder, as a
    publisher's .pfx: returns (pfx, its password file, the certificate)."""
    folder = Path(folder)
    key, cert, pfx, password = (folder / n for n in ("key.pem", "cert.pem", "publisher.pfx",
                                                     "password"))
    password.write_text("pfx password\n")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-keyout", key, "-out", cert, "-subj", "/CN=Nuvo test publisher",
                    "-addext", "keyUsage=critical,digitalSignature",
                    "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                    "-passout", f"file:{password}"], check=True, capture_output=True)
    return pfx, password, cert

"""Wine, X and processes for the end-to-end tests; nothing here knows the program.

A WineSession (a context manager) gives one test class a fresh Wine prefix copied from the
Wine's template, its own Xvfb display, the time page server, the pointer and the keyboard,
and ends everything it started afterwards, by process id. The target
(ZELMORA_E2E_TARGET, default wine10-i686) names the Wine (wine10: the root
tools/wine-root.sh makes; wine8: the host's) and the program's word size.

Paths come from the environment (the CMake registration sets them):
  ZELMORA_BUILD_DIR  the native build folder (default <repository>/build), for the defaults
  ZELMORA_E2E_PORT   loopback port the program's time page URL names (default 18123)
  ZELMORA_E2E_DIR    work folder (default <build>/e2e): the templates, <target>/<test>/
  ZELMORA_E2E_WINEDEBUG  WINEDEBUG for every Wine process (default -all)
  ZELMORA_E2E_KEEP   set to 1 to keep each test's prefix copy for inspection
  ZELMORA_E2E_SLOWDOWN  by how much every wait grows (qemu-i386; tools/host-check.py)
"""

import collections
import contextlib
import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path, PureWindowsPath
from typing import Callable, Optional

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timeserver import TimeServer  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
TEMPLATE_VERSION = "3"  # bump when the template's settings change
CONVERT = ("/usr/bin/convert" if os.path.exists("/usr/bin/convert")
           else shutil.which("convert") or "convert")
SCREEN = (1024, 768)
DOUBLE_CLICK_SECONDS = 0.6  # Windows' default double-click time is 0.5 s
SLOWDOWN = float(os.environ.get("ZELMORA_E2E_SLOWDOWN", "1"))


class HarnessError(RuntimeError):
    pass


def log(message: str):
    print(f"[e2e {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


def env_path(name: str, default: Path) -> Path:
    value = os.environ.get(name)
    return Path(value).resolve() if value else default  # Wine wants absolute paths


def build_dir() -> Path:
    return env_path("ZELMORA_BUILD_DIR", REPO / "build")


def e2e_dir() -> Path:
    return env_path("ZELMORA_E2E_DIR", build_dir() / "e2e")


def slower(seconds: float) -> float:
    """A time limit for a wait on Wine, grown where it runs the program through qemu-i386."""
    return seconds * SLOWDOWN


def port() -> int:
    return int(os.environ.get("ZELMORA_E2E_PORT", "18123"))


# -------------------------------------------------------------------------------------
# Which Wine


@dataclass(frozen=True)
class Wine:
    name: str
    launcher: tuple  # what runs a command of this Wine: nothing, or the root's runner

    def command(self, *args) -> list:
        return [*self.launcher, *args]


WINES = {"wine10": Wine("wine10", (str(REPO / "tools" / "wine-root.sh"), "run")),
         "wine8": Wine("wine8", ())}


@dataclass(frozen=True)
class Target:
    """A Wine and the word size of the program under test."""
    wine: Wine
    arch: str  # i686 or x86_64

    @property
    def name(self) -> str:
        return f"{self.wine.name}-{self.arch}"

    @property
    def registry_view(self) -> list:
        # Both Wines are 64-bit: reg.exe must be told to see what a 32-bit program sees.
        return ["/reg:32"] if self.arch == "i686" else []


def target() -> Target:
    name = os.environ.get("ZELMORA_E2E_TARGET", "wine10-i686")
    wine, _, arch = name.partition("-")
    if wine not in WINES or arch not in ("i686", "x86_64"):
        raise HarnessError(f"unknown target {name!r} (wine10-i686, wine8-x86_64, ...)")
    return Target(WINES[wine], arch)


# -------------------------------------------------------------------------------------
# X display


class XDisplay:
    """A private Xvfb server; picks the first display number nobody uses."""

    def __init__(self, log_path: Path, first: int = 100, last: int = 400):
        self.log_path = log_path
        self.first = first
        self.last = last
        self.number: Optional[int] = None
        self.process: Optional[subprocess.Popen] = None

    @property
    def name(self) -> str:
        return f":{self.number}"

    @staticmethod
    def _taken(n: int) -> bool:
        return os.path.exists(f"/tmp/.X{n}-lock") or os.path.exists(f"/tmp/.X11-unix/X{n}")

    def start(self):
        start = self.first + (os.getpid() % 50)  # spread concurrent harnesses apart
        for n in list(range(start, self.last)) + list(range(self.first, start)):
            if self._taken(n):
                continue
            with open(self.log_path, "ab") as out:
                process = subprocess.Popen(
                    ["Xvfb", f":{n}", "-screen", "0", f"{SCREEN[0]}x{SCREEN[1]}x24",
                     "-nolisten", "tcp", "-nocursor"],
                    stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                if process.poll() is not None:
                    break  # lost a race for this number; try the next
                # The lock file names the server that won this number.
                if os.path.exists(f"/tmp/.X11-unix/X{n}") and \
                        read_text(f"/tmp/.X{n}-lock").strip() == str(process.pid):
                    self.number, self.process = n, process
                    return self
                time.sleep(0.05)
            if process.poll() is None:
                process.kill()
                process.wait()
        raise HarnessError("no free X display")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None


def read_text(path: str) -> str:
    """A file's text; empty when it cannot be read."""
    try:
        return Path(path).read_text()
    except OSError:
        return ""


# -------------------------------------------------------------------------------------
# Processes


def prefix_pids(prefix: Path) -> list:
    """Every process whose environment names this prefix (the Wine processes in it)."""
    wanted = f"WINEPREFIX={prefix}".encode()
    pids = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            if wanted in Path(f"/proc/{entry}/environ").read_bytes().split(b"\0"):
                pids.append(int(entry))
    return pids


def program_pid(prefix: Path, exe_name: str) -> Optional[int]:
    """The Linux process of a running Windows program of the prefix, found by its file name:
    what was launched is not always the program (Wine 10 starts a 32-bit program from its
    64-bit start.exe, and the root's runner adds a process of its own)."""
    found = [pid for pid in prefix_pids(prefix)
             if read_text(f"/proc/{pid}/comm").strip() == exe_name[:15]]
    return max(found) if found else None


def host_answer() -> str:
    """Whether this machine runs 32-bit programs under Wine 10, as tools/host-check.py says
    (found once per boot)."""
    result = subprocess.run([sys.executable, str(REPO / "tools" / "host-check.py"),
                             "--build", str(e2e_dir().parent)],
                            capture_output=True, text=True, timeout=600)
    return (result.stdout + result.stderr).strip()


def not_run(what: str, returncode, output: str) -> HarnessError:
    """The error for a Windows program Wine did not run, with the likely cause."""
    said = [line for line in output.splitlines()
            if line.strip() and "XDG_RUNTIME_DIR" not in line][-3:]
    return HarnessError(f"Wine did not run {what}: exit code {returncode}, "
                        f"Wine said: {' | '.join(said) or 'nothing'}. {host_answer()}")


def run_detached(args: list, env: dict, timeout: float) -> subprocess.CompletedProcess:
    """Runs a Wine command and waits for that process only.

    Output goes through files, not pipes: a Wine command may start the prefix's background
    processes (wineserver, the desktop), which inherit its output and would hold a pipe open
    long after the command ended.
    """
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        process = subprocess.Popen(args, env=env, stdout=out, stderr=err, text=True)
        timeout = slower(timeout)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise HarnessError(f"{' '.join(args)} did not finish in {timeout} s") from None
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(args, process.returncode, out.read(), err.read())


def start_with_restarts(who: str, what: str, start: Callable[[], tuple]):
    """Calls start() -> (result, exit code or None while running, printed anything) and
    returns its result, calling it again, at most twice, while Wine did not start the
    process. Under load Wine now and then ends a process within a second with a failure
    code and prints nothing, before it could do anything, so starting it again is safe."""
    for attempt in range(3):
        started = time.monotonic()
        result, returncode, printed = start()
        seconds = time.monotonic() - started
        if returncode in (None, 0) or printed or seconds >= 1 or attempt == 2:
            return result
        log(f"{who}: Wine did not start {what} ({returncode} after {seconds:.2f} s, "
            "nothing printed); starting it again")
        time.sleep(1)


def run_wine(wine: Wine, args: list, env: dict, timeout: float, who: str = "harness",
             check: bool = False) -> subprocess.CompletedProcess:
    """run_detached for a Wine command, started again when Wine did not start it."""
    def start():
        result = run_detached(wine.command("wine", *args), env, timeout)
        return result, result.returncode, bool(result.stdout or result.stderr)

    result = start_with_restarts(who, args[0], start)
    if check and result.returncode != 0:
        raise HarnessError(f"wine {' '.join(args)} failed ({result.returncode}): "
                           f"{result.stdout}{result.stderr}")
    return result


def wine_env(prefix: Path, display: Optional[str]) -> dict:
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": str(prefix),
        "WINEDEBUG": os.environ.get("ZELMORA_E2E_WINEDEBUG", "-all"),
        # No Mono/Gecko install prompts, no desktop menu entries on the host.
        "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
        # Wine takes the user locale from here; "C" gives English (United States).
        "LANG": "C.UTF-8",
        # The root's Wine sees the work folder, where .reg files and logs are written.
        "ZELMORA_WINE_BIND": str(e2e_dir()),
    })
    # Wine's WinINet takes a proxy from these too: only the tests' own settings count.
    for name in [n for n in env if n.startswith("LC_") or
                 n.lower() in ("http_proxy", "https_proxy", "no_proxy", "all_proxy")]:
        del env[name]
    env.pop("WINELOADER", None)
    env.pop("WINESERVER", None)
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


# Every Wine process of the prefix lives in one virtual desktop the size of the screen:
# window frames, a taskbar and the notification area, at X root coordinates. Wine 10 draws
# the taskbar only when the desktop's shell is asked for; Wine 8 always does.
TEMPLATE_REG = f"""REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="{SCREEN[0]}x{SCREEN[1]}"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops\\Default]
"EnableShell"=dword:00000001

[HKEY_CURRENT_USER\\Control Panel\\Desktop]
"LogPixels"=dword:00000060

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts]
"LogPixels"=dword:00000060

[HKEY_CURRENT_USER\\Software\\Wine\\DllOverrides]
"winemenubuilder.exe"=""
"mscoree"=""
"mshtml"=""
"""


def wineserver_wait(wine: Wine, env: dict, kill: bool, timeout: float = 30):
    """Ends (kill) or waits out the wineserver of env's prefix, and everything in it."""
    for args in (["-k"] if kill else []) + ["-w"]:
        subprocess.run(wine.command("wineserver", args), env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout)


def remove_server_dir(prefix: Path):
    """Debian's Wine keeps the server socket in /tmp/<name>, named in <prefix>/wineserver."""
    try:
        name = (prefix / "wineserver").read_text().strip()
    except OSError:
        return
    if re.fullmatch(r"wine-[A-Za-z0-9_]+", name):
        shutil.rmtree(Path("/tmp") / name, ignore_errors=True)


def give_server_dir(prefix: Path):
    """Names the prefix's server directory before any Wine process starts.

    Otherwise the first two Wine processes of a new prefix (the program and a probe) may
    each create a directory and name it in the prefix, and the loser cannot reach the
    server.
    """
    directory = Path(tempfile.mkdtemp(prefix="wine-", dir="/tmp"))
    name_file = prefix / "wineserver"
    name_file.unlink(missing_ok=True)
    name_file.write_text(directory.name)
    name_file.chmod(0o400)


def check_tools():
    needed = {"Xvfb": "Xvfb", "xdotool": "xdotool", "import (imagemagick)": "import",
              "convert (imagemagick)": CONVERT}
    missing = [name for name, tool in needed.items() if not shutil.which(tool)]
    if missing:
        raise HarnessError(f"missing tools: {', '.join(missing)}")


def ensure_template(wine: Wine) -> Path:
    """The Wine's template prefix, made once; safe when several harnesses ask at once."""
    check_tools()
    root = e2e_dir()
    root.mkdir(parents=True, exist_ok=True)
    template = root / f"prefix-template-{wine.name}"
    stamp_file = root / f"prefix-template-{wine.name}.stamp"
    version = run_wine(wine, ["--version"], os.environ, 60, check=True).stdout.strip()
    stamp = f"{TEMPLATE_VERSION} {version}"
    with open(root / "prefix-template.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if template.is_dir() and stamp_file.exists() and stamp_file.read_text() == stamp:
            return template
        log(f"creating the template prefix {template} ({version})")
        started = time.monotonic()
        stamp_file.unlink(missing_ok=True)
        if template.exists():
            shutil.rmtree(template)
        work = root / f"prefix-template-{wine.name}.work"
        work.mkdir(exist_ok=True)
        display = XDisplay(work / "xvfb.log").start()
        env = wine_env(template, display.name)
        template.mkdir()
        give_server_dir(template)
        try:
            run_wine(wine, ["wineboot", "-i"], env, 180, check=True)
            reg = work / "template.reg"
            reg.write_text(TEMPLATE_REG)
            run_wine(wine, ["regedit", "/S", str(reg)], env, 60, check=True)
            wineserver_wait(wine, env, kill=False, timeout=60)
        finally:
            with contextlib.suppress(Exception):
                wineserver_wait(wine, env, kill=True)
            display.stop()
        # Each copy gets its own server directory.
        remove_server_dir(template)
        (template / "wineserver").unlink(missing_ok=True)
        stamp_file.write_text(stamp)
        shutil.rmtree(work, ignore_errors=True)
        log(f"template prefix ready in {time.monotonic() - started:.1f} s")
        return template


def windows_to_unix(prefix: Path, windows_path: str) -> Path:
    p = PureWindowsPath(windows_path)
    drive = p.drive.rstrip(":").lower()
    if drive != "c":
        raise HarnessError(f"only C: paths are supported: {windows_path}")
    return prefix / "drive_c" / Path(*p.parts[1:])


# -------------------------------------------------------------------------------------
# Screenshots


@dataclass
class Image:
    width: int
    height: int
    data: bytes  # RGB, row by row
    path: Optional[Path] = None

    def pixel(self, x: int, y: int) -> tuple:
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise IndexError(f"pixel ({x}, {y}) outside {self.width}x{self.height}")
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])

    def pixels(self, rect) -> list:
        """Every pixel of rect = (left, top, width, height), clipped to the image."""
        left, top, width, height = rect
        return [self.pixel(x, y) for y in range(max(top, 0), min(top + height, self.height))
                for x in range(max(left, 0), min(left + width, self.width))]

    def colors(self, rect) -> dict:
        return dict(collections.Counter(self.pixels(rect)))

    @staticmethod
    def from_ppm(blob: bytes, path: Optional[Path] = None) -> "Image":
        # ImageMagick writes "P6\n<width> <height>\n255\n", then the pixels.
        magic, size, maxval, data = blob.split(b"\n", 3)
        if magic != b"P6" or maxval != b"255":
            raise HarnessError("unexpected image format from convert")
        width, height = map(int, size.split())
        return Image(width, height, data[:width * height * 3], path)


def read_png(path: Path) -> Image:
    ppm = subprocess.run([CONVERT, str(path), "-depth", "8", "ppm:-"], capture_output=True,
                         check=True, timeout=30).stdout
    return Image.from_ppm(ppm, path)


def center(rect) -> tuple:
    """The middle of a [left, top, width, height] rectangle."""
    left, top, width, height = rect
    return left + width // 2, top + height // 2


# -------------------------------------------------------------------------------------
# The session

_OPEN_SESSIONS: list = []


def _cmdline(pid: int) -> str:
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes().decode(errors="replace")
    except OSError:
        return ""


def _terminate(signum, frame):
    # Ended from outside (Ctrl+C, a time limit): end what the open sessions started first.
    for session in list(_OPEN_SESSIONS):
        with contextlib.suppress(Exception):
            session.close()
    os._exit(128 + signum)


def _install_terminate_handler():
    if threading.current_thread() is not threading.main_thread():
        return
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        if signal.getsignal(signum) in (signal.SIG_DFL, signal.default_int_handler):
            signal.signal(signum, _terminate)


class WineSession:
    """One prefix, one display, one time server: everything a test class touches but the
    program. Wine processes are started from the thread that made the session: the root's
    Wine ends a process when the thread that started it ends.

    registry: {key: {value_name: data}} written before anything else starts; str data is a
    REG_SZ, int data a REG_DWORD. files: {windows_path: bytes or str} written into the
    prefix.
    """

    def __init__(self, name: str, *, registry: Optional[dict] = None,
                 files: Optional[dict] = None, start_server: bool = True):
        self.target = target()
        self.name = re.sub(r"[^A-Za-z0-9_.-]", "_", name)
        self.registry = registry or {}
        self.files = files or {}
        self.start_server_on_enter = start_server
        self.workdir = e2e_dir() / self.target.name / self.name
        self.shots_dir = e2e_dir() / "screenshots" / self.target.name / self.name
        self.prefix = self.workdir / "prefix"
        self.display: Optional[XDisplay] = None
        self.server = TimeServer(port())
        self.env: dict = {}
        self.current_test = ""
        self._last_click = (0.0, -100, -100)
        self._started_at = 0.0
        self._closed = False

    # -- life cycle -------------------------------------------------------------------

    def __enter__(self):
        self._started_at = time.monotonic()
        try:
            self._setup()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _setup(self):
        template = ensure_template(self.target.wine)
        _install_terminate_handler()
        _OPEN_SESSIONS.append(self)
        if self.workdir.exists():
            self._sweep_previous_run()
            shutil.rmtree(self.workdir)
        shutil.rmtree(self.shots_dir, ignore_errors=True)
        self.workdir.mkdir(parents=True)
        self.shots_dir.mkdir(parents=True)
        subprocess.run(["cp", "-a", str(template), str(self.prefix)], check=True)
        give_server_dir(self.prefix)

        self.display = XDisplay(self.workdir / "xvfb.log").start()
        self.remember_process("xvfb", self.display.process)
        self.env = wine_env(self.prefix, self.display.name)
        for windows_path, content in self.files.items():
            path = self.unix_path(windows_path)
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content.encode("latin-1") if isinstance(content, str) else content)
        self.prepare()
        if self.registry:
            self.import_registry(self.registry)
        if self.start_server_on_enter:
            self.server.start()
        self.started()
        log(f"{self.name}: ready in {time.monotonic() - self._started_at:.1f} s "
            f"({self.target.name}, display {self.display.name})")

    def prepare(self):
        """Puts files into the prefix before any Wine process starts."""

    def started(self):
        """Runs last in the set-up, once the time server is up."""

    # A test run killed from outside (a ctest time limit) cannot clean up; the next run of
    # the same test ends what that one left, by the process ids it wrote down.

    def remember_process(self, role: str, process: subprocess.Popen):
        record = self.workdir / "processes.json"
        known = json.loads(record.read_text()) if record.exists() else {}
        known[role] = {"pid": process.pid, "cmdline": _cmdline(process.pid)}
        record.write_text(json.dumps(known))

    def _sweep_previous_run(self):
        record = self.workdir / "processes.json"
        if record.exists():
            for role, entry in json.loads(record.read_text()).items():
                if entry["cmdline"] and _cmdline(entry["pid"]) == entry["cmdline"]:
                    log(f"{self.name}: ending the {role} a previous run left (pid {entry['pid']})")
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(entry["pid"], signal.SIGKILL)
        if self.prefix.is_dir():
            with contextlib.suppress(Exception):
                wineserver_wait(self.target.wine, wine_env(self.prefix, None), kill=True)
            remove_server_dir(self.prefix)

    def close(self):
        if self._closed:
            return
        self._closed = True
        with contextlib.suppress(ValueError):
            _OPEN_SESSIONS.remove(self)
        self.stopping()
        if self.env:
            try:
                wineserver_wait(self.target.wine, self.env, kill=True)
            except (subprocess.TimeoutExpired, OSError) as error:
                log(f"{self.name}: wineserver did not end: {error}")
        with contextlib.suppress(Exception):
            self.server.stop()
        if self.display:
            self.display.stop()
        if self.prefix.exists():
            remove_server_dir(self.prefix)
            if os.environ.get("ZELMORA_E2E_KEEP") != "1":
                shutil.rmtree(self.prefix, ignore_errors=True)
        if self._started_at:
            log(f"{self.name}: closed after {time.monotonic() - self._started_at:.1f} s")

    def stopping(self):
        """Runs first when the session closes, while Wine still runs."""

    # -- Wine -------------------------------------------------------------------------

    def wine(self, *args, timeout: float = 60, check: bool = True) -> subprocess.CompletedProcess:
        return run_wine(self.target.wine, list(args), self.env, timeout, self.name, check)

    def spawn(self, windows_exe: str, *args, log_path: Path, cwd: Path, what: str,
              wait: Optional[float] = None, winedebug: str = "") -> tuple:
        """Starts a Windows program, again when Wine did not start it; (process, exit code
        or None while it runs, seconds it ran). With wait, waits that long for it to end;
        winedebug replaces WINEDEBUG for that program."""
        def start():
            printed = log_path.stat().st_size if log_path.exists() else 0
            started = time.monotonic()
            with open(log_path, "ab") as out:
                process = subprocess.Popen(self.target.wine.command("wine", windows_exe, *args),
                                           env=dict(self.env, **({"WINEDEBUG": winedebug}
                                                                 if winedebug else {})),
                                           stdout=out, stderr=subprocess.STDOUT, cwd=cwd)
            # Wine's failed starts end within milliseconds; a real start runs for seconds.
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(0.2 if wait is None else wait)
            seconds = time.monotonic() - started
            if process.poll() is None and wait is not None:
                process.kill()
                process.wait()
                return (process, None, seconds), None, True
            code = process.poll()
            return (process, code, seconds), code, log_path.stat().st_size != printed

        return start_with_restarts(self.name, what, start)

    def unix_path(self, windows_path: str) -> Path:
        return windows_to_unix(self.prefix, windows_path)

    def wait_for(self, predicate: Callable[[], object], timeout: float, interval: float = 0.1,
                 message: str = "condition"):
        """Polls predicate until it returns something true; returns that, or raises."""
        timeout = slower(timeout)
        deadline = time.monotonic() + timeout
        last = None
        while True:
            last = predicate()
            if last:
                return last
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out after {timeout} s waiting for {message}")
            time.sleep(interval)

    # -- pointer and keyboard ---------------------------------------------------------

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def pointer(self) -> tuple:
        out = subprocess.run(["xdotool", "getmouselocation", "--shell"], env=self.env,
                             capture_output=True, text=True, check=True, timeout=30).stdout
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return int(values["X"]), int(values["Y"])

    def _move(self, x: int, y: int):
        # --sync waits for the pointer to arrive, and for 15 s when it is already there.
        if self.pointer() != (x, y):
            self.xdotool("mousemove", "--sync", str(x), str(y))

    def move_pointer(self, x: int, y: int, settle: float = 0.3):
        self._move(x, y)
        time.sleep(settle)

    def click(self, x: int, y: int, button: int = 1, double: bool = False, settle: float = 0.3):
        self._move(x, y)
        time.sleep(0.1)
        # Two single clicks on one spot in quick succession would make a double click.
        last_time, last_x, last_y = self._last_click
        wait = DOUBLE_CLICK_SECONDS - (time.monotonic() - last_time)
        if wait > 0 and abs(x - last_x) <= 4 and abs(y - last_y) <= 4:
            time.sleep(wait)
        self._last_click = (time.monotonic(), x, y)
        args = ["click"] + (["--repeat", "2", "--delay", "80"] if double else []) + [str(button)]
        self.xdotool(*args)
        time.sleep(settle)

    def key(self, *keys: str, settle: float = 0.2):
        """xdotool key names, e.g. "Tab", "shift+Tab", "Return"."""
        self.xdotool("key", "--delay", "60", *keys)
        time.sleep(settle)

    def type_text(self, text: str, settle: float = 0.2):
        self.xdotool("type", "--delay", "60", text)
        time.sleep(settle)

    # -- screen -----------------------------------------------------------------------

    def screenshot(self, name: str) -> Image:
        """Saves the whole screen as screenshots/<session>/<test>-<name>.png and returns it."""
        stem = f"{self.current_test}-{name}" if self.current_test else name
        path = self.shots_dir / f"{re.sub(r'[^A-Za-z0-9_.-]', '_', stem)}.png"
        subprocess.run(["import", "-window", "root", str(path)], env=self.env, check=True,
                       timeout=30, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return read_png(path)

    # -- registry writes, as the program under test sees them (reads: harness.reg_values)

    def import_registry(self, values: dict):
        """Writes {key: {name: str|int}} in one regedit run (keys outside HKLM\\Software)."""
        hives = {"HKCU": "HKEY_CURRENT_USER", "HKLM": "HKEY_LOCAL_MACHINE"}
        lines = ["REGEDIT4", ""]
        for key, entries in values.items():
            hive, _, rest = key.partition("\\")
            lines.append(f"[{hives.get(hive, hive)}\\{rest}]")
            for name, data in entries.items():
                if isinstance(data, int):
                    lines.append(f'"{name}"=dword:{data:08x}')
                else:
                    escaped = str(data).replace("\\", "\\\\").replace('"', '\\"')
                    lines.append(f'"{name}"="{escaped}"')
            lines.append("")
        reg = self.workdir / f"import-{int(time.time() * 1000)}.reg"
        reg.write_text("\r\n".join(lines) + "\r\n", encoding="latin-1")
        self.wine("regedit", "/S", str(reg))

    def link_to_nowhere(self, user_key: str):
        """Makes a key of the user's hive a registry link below which no key can be opened or
        created; before any Wine process of the prefix starts. Wine 8 fails every open or
        create through a link without a target. Wine 10's RegCreateKeyEx recurses on one
        until the stack overflows, so there the link leads to the volatile HKLM\\Hardware,
        below which no stable key can be created and the program's keys do not exist."""
        link = "\\Registry\\Machine\\Hardware".encode("utf-16-le")
        target = "" if self.target.wine.name == "wine8" else \
            '"SymbolicLinkValue"=hex(6):' + ",".join(f"{b:02x}" for b in link) + "\n"
        key = user_key.replace("\\", "\\\\")
        with open(self.prefix / "user.reg", "a", encoding="ascii") as reg:
            reg.write(f"\n[{key}] 1700000000\n#link\n{target}")

    def reg(self, *args, check: bool = False) -> subprocess.CompletedProcess:
        """reg.exe in the program's registry view (a 32-bit program's HKLM\\Software is
        its own)."""
        return self.wine("reg", *args, *self.target.registry_view, check=check)

    def reg_add(self, key: str, value: str, data, kind: Optional[str] = None):
        kind = kind or ("REG_DWORD" if isinstance(data, int) else "REG_SZ")
        self.reg("add", key, "/v", value, "/t", kind, "/d", str(data), "/f", check=True)

    def reg_delete(self, key: str, value: Optional[str] = None):
        self.reg("delete", key, *(["/v", value] if value is not None else []), "/f")


def main(argv):
    if argv[1:] == ["prepare"]:
        ensure_template(target().wine)
        return 0
    print("usage: wine.py prepare", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""End-to-end harness: runs the Windows program under Wine on a private X display.

A Session (a context manager) gives one test a fresh Wine prefix copied from a shared
template, its own Xvfb display, the time page server and the program, and ends all of them
afterwards by process id. The probe (zprobe.exe, run in the same prefix) reads the window
back as JSON; xdotool moves the real pointer and types; screenshots come from the X server.

Paths come from the environment (the CMake registration sets them):
  ZELMORA_BUILD_DIR  the native build folder (default <repository>/build), for the defaults
  ZELMORA_EXE        the x86_64 Zelmora.exe
  ZELMORA_PROBE      the x86_64 zprobe.exe
  ZELMORA_E2E_PORT   loopback port the program's time page URL names (default 18123)
  ZELMORA_E2E_DIR    work folder (default <build>/e2e): the template prefix, each test's
                     folder with its logs, and screenshots/<test>/
  ZELMORA_E2E_WINEDEBUG  WINEDEBUG for the program (default -all)
  ZELMORA_E2E_KEEP   set to 1 to keep each test's prefix copy for inspection

Run `python3 harness.py prepare` to build the template prefix ahead of the tests.
"""

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
import unittest
from dataclasses import dataclass
from pathlib import Path, PureWindowsPath
from datetime import datetime, timedelta
from typing import Callable, Optional

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timeserver import TimeServer  # noqa: E402

REPO = Path(__file__).resolve().parents[2]
TEMPLATE_VERSION = "1"  # bump when the template's settings change

WINE = shutil.which("wine") or "/usr/bin/wine"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
CONVERT = ("/usr/bin/convert" if os.path.exists("/usr/bin/convert")
           else shutil.which("convert") or "convert")

MAIN_CLASS = "ZelmoraMainWindow"
PROGRAM_TITLE = "Zelmora"
TRAY_TIP = "Orva Zelmora"
DEFAULT_PROGRAM_DIR = r"C:\Program Files\Zelmora"
PROBE_EXE = r"C:\zprobe\zprobe.exe"

# The program's own control ids, texts and registry names, as every test module sees them.
FRAME2, CHK_AUTORUN, TXT_INTERVAL, CHK_AUTO, LBL_AUTO = 101, 102, 103, 104, 105
CMD_SYNCHRONIZE, CMD_CHECK, LBL_TIME, LABEL4, LABEL2 = 106, 107, 108, 109, 110
IMAGE1, LBL_VERSION, LBL_WEBSITE, LBL_README, LBL_INFO = 111, 112, 113, 114, 115
MENU_RESTORE, MENU_EXIT = 201, 202
READY = "Ready."
GETTING_TIME = "Getting Time..."
TIME_OK = "Local time is ok"
CANNOT_GET = "Cannot get time from server! (internet running?)"
CANNOT_SET = "Cannot set the system time! (administrator rights needed?)"
INACCURATE = re.compile(r"^Local time inaccurate - difference is (\d+) seconds!$")
UPDATED = re.compile(r"^Time updated succesfully! \((.+)\)$")
SETTINGS_SUBKEY = r"Software\VB and VBA Program Settings\Zelmora\General"
SETTINGS_KEY = "HKCU\\" + SETTINGS_SUBKEY
RUN_SUBKEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
RUN_KEY = "HKLM\\" + RUN_SUBKEY
RUN_VALUE = "OrvaZelmora"
SCREEN = (1024, 768)
DOUBLE_CLICK_SECONDS = 0.6  # Windows' default double-click time is 0.5 s


def _env_path(name: str, default: Path) -> Path:
    value = os.environ.get(name)
    return Path(value).resolve() if value else default  # Wine wants absolute paths


def build_dir() -> Path:
    return _env_path("ZELMORA_BUILD_DIR", REPO / "build")


def exe_path() -> Path:
    return _env_path("ZELMORA_EXE", build_dir() / "x86_64" / "Zelmora.exe")


def probe_path() -> Path:
    return _env_path("ZELMORA_PROBE", build_dir() / "x86_64" / "zprobe.exe")


def e2e_dir() -> Path:
    return _env_path("ZELMORA_E2E_DIR", build_dir() / "e2e")


def port() -> int:
    return int(os.environ.get("ZELMORA_E2E_PORT", "18123"))


STATUS_ID = 115
FINAL_STATUS_PREFIXES = ("Local time is ok", "Local time inaccurate", "Time updated",
                         "Cannot get time", "Cannot set")


class HarnessError(RuntimeError):
    pass


STATUS_MARK = "[e2e: before the click]"


@dataclass
class Operation:
    statuses: list  # the status texts seen after the click, in order
    final: str  # the outcome, or the status at the time limit
    finished: bool  # an outcome appeared within the time limit
    seconds: float  # from the click to the outcome (or the limit)
    during: object = None  # what while_waiting returned


def log(message: str):
    print(f"[e2e {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


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
                if os.path.exists(f"/tmp/.X11-unix/X{n}"):
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


# -------------------------------------------------------------------------------------
# Wine prefixes


def run_detached(args: list, env: dict, timeout: float) -> subprocess.CompletedProcess:
    """Runs a Wine command and waits for that process only.

    Output goes through files, not pipes: a Wine command may start the prefix's background
    processes (wineserver, the desktop), which inherit its output and would hold a pipe open
    long after the command ended.
    """
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        process = subprocess.Popen(args, env=env, stdout=out, stderr=err, text=True)
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


def run_wine(args: list, env: dict, timeout: float, who: str = "harness",
             check: bool = False) -> subprocess.CompletedProcess:
    """run_detached for a Wine command, started again when Wine did not start it."""
    def start():
        result = run_detached([WINE, *args], env, timeout)
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
    })
    for name in [n for n in env if n.startswith("LC_")]:
        del env[name]
    env.pop("WINELOADER", None)
    env.pop("WINESERVER", None)
    if display:
        env["DISPLAY"] = display
    else:
        env.pop("DISPLAY", None)
    return env


# Every Wine process of the prefix lives in one virtual desktop the size of the screen:
# window frames, a taskbar and the notification area, at X root coordinates.
TEMPLATE_REG = f"""REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="{SCREEN[0]}x{SCREEN[1]}"

[HKEY_CURRENT_USER\\Control Panel\\Desktop]
"LogPixels"=dword:00000060

[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\Fonts]
"LogPixels"=dword:00000060

[HKEY_CURRENT_USER\\Software\\Wine\\DllOverrides]
"winemenubuilder.exe"=""
"mscoree"=""
"mshtml"=""
"""


def _wineserver_wait(env: dict, kill: bool, timeout: float = 30):
    """Ends (kill) or waits out the wineserver of env's prefix, and everything in it."""
    if kill:
        subprocess.run([WINESERVER, "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout)
    subprocess.run([WINESERVER, "-w"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=timeout)


def _server_tmp_dir(prefix: Path) -> Optional[Path]:
    """Debian's Wine keeps the server socket in /tmp/<name>, named in <prefix>/wineserver."""
    try:
        name = (prefix / "wineserver").read_text().strip()
    except OSError:
        return None
    if re.fullmatch(r"wine-[A-Za-z0-9_]+", name):
        return Path("/tmp") / name
    return None


def _give_server_dir(prefix: Path):
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


def _template_stamp() -> str:
    version = run_wine(["--version"], os.environ, 60, check=True).stdout.strip()
    return f"{TEMPLATE_VERSION} {version}"


def check_tools():
    needed = {"wine": WINE, "wineserver": WINESERVER, "Xvfb": "Xvfb", "xdotool": "xdotool",
              "import (imagemagick)": "import", "convert (imagemagick)": CONVERT}
    missing = [name for name, tool in needed.items() if not shutil.which(tool)]
    if missing:
        raise HarnessError(f"missing tools: {', '.join(missing)}")


def ensure_template() -> Path:
    """The template prefix, created once; safe when several harnesses ask at the same time."""
    check_tools()
    root = e2e_dir()
    root.mkdir(parents=True, exist_ok=True)
    template = root / "prefix-template"
    stamp_file = root / "prefix-template.stamp"
    stamp = _template_stamp()
    with open(root / "prefix-template.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if template.is_dir() and stamp_file.exists() and stamp_file.read_text() == stamp:
            return template
        log(f"creating the template prefix {template}")
        started = time.monotonic()
        stamp_file.unlink(missing_ok=True)
        if template.exists():
            shutil.rmtree(template)
        work = root / "prefix-template.work"
        work.mkdir(exist_ok=True)
        display = XDisplay(work / "xvfb.log").start()
        env = wine_env(template, display.name)
        template.mkdir()
        _give_server_dir(template)
        try:
            run_wine(["wineboot", "-i"], env, 180, check=True)
            reg = work / "template.reg"
            reg.write_text(TEMPLATE_REG)
            run_wine(["regedit", "/S", str(reg)], env, 60, check=True)
            _wineserver_wait(env, kill=False, timeout=60)
        finally:
            with contextlib.suppress(Exception):
                _wineserver_wait(env, kill=True)
            display.stop()
        # Each copy gets its own server directory.
        tmp = _server_tmp_dir(template)
        (template / "wineserver").unlink(missing_ok=True)
        if tmp:
            shutil.rmtree(tmp, ignore_errors=True)
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
        out = []
        for y in range(max(top, 0), min(top + height, self.height)):
            row = (y * self.width) * 3
            for x in range(max(left, 0), min(left + width, self.width)):
                i = row + x * 3
                out.append(tuple(self.data[i:i + 3]))
        return out

    def count(self, rect, color) -> int:
        return sum(1 for p in self.pixels(rect) if p == tuple(color))

    def colors(self, rect) -> dict:
        histogram: dict = {}
        for p in self.pixels(rect):
            histogram[p] = histogram.get(p, 0) + 1
        return histogram

    @staticmethod
    def from_ppm(blob: bytes, path: Optional[Path] = None) -> "Image":
        # P6 header: magic, width, height, maxval, separated by whitespace (and comments).
        fields = []
        i = 0
        while len(fields) < 4:
            while blob[i:i + 1].isspace():
                i += 1
            if blob[i:i + 1] == b"#":
                while blob[i:i + 1] not in (b"\n", b""):
                    i += 1
                continue
            j = i
            while not blob[j:j + 1].isspace():
                j += 1
            fields.append(blob[i:j])
            i = j
        i += 1  # the single whitespace after maxval
        if fields[0] != b"P6" or int(fields[3]) != 255:
            raise HarnessError("unexpected image format from convert")
        width, height = int(fields[1]), int(fields[2])
        return Image(width, height, blob[i:i + width * height * 3], path)


def parse_clock(text: str, formats=("%I:%M:%S %p", "%H:%M:%S")) -> Optional[datetime]:
    """The local date and time a clock text most likely means, or None."""
    for pattern in formats:
        try:
            shown = datetime.strptime(text, pattern).time()
        except ValueError:
            continue
        now = datetime.now()
        candidate = datetime.combine(now.date(), shown)
        # Around midnight the text may belong to the other day.
        return min((candidate + timedelta(days=d) for d in (-1, 0, 1)),
                   key=lambda c: abs((c - now).total_seconds()))
    return None


def center(rect) -> tuple:
    """The middle of a [left, top, width, height] rectangle."""
    left, top, width, height = rect
    return left + width // 2, top + height // 2


def shown_icons(tray: dict, tip: str = TRAY_TIP) -> list:
    """Screen rectangles of the icons with this tip in a `zprobe tray` answer.

    Wine keeps a removed icon's tooltip tool, with an empty rectangle, so those are left out.
    """
    return [i["rect"] for i in tray.get("icons", [])
            if i["tip"] == tip and i["rect"][2] > 0 and i["rect"][3] > 0]


def read_png(path: Path) -> Image:
    ppm = subprocess.run([CONVERT, str(path), "-depth", "8", "ppm:-"], capture_output=True,
                         check=True, timeout=30).stdout
    return Image.from_ppm(ppm, path)


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


class Session:
    """One prefix, one display, one time server, one program: everything a test touches.

    registry: {key: {value_name: data}} written before the program starts; str data is a
    REG_SZ, int data a REG_DWORD. files: {windows_path: bytes or str} written into the
    prefix before the start.
    """

    def __init__(self, name: str, *, program_dir: str = DEFAULT_PROGRAM_DIR,
                 registry: Optional[dict] = None, files: Optional[dict] = None,
                 start_server: bool = True, start_program: bool = True):
        self.name = re.sub(r"[^A-Za-z0-9_.-]", "_", name)
        self.program_dir = program_dir
        self.registry = registry or {}
        self.files = files or {}
        self.start_server_on_enter = start_server
        self.start_program_on_enter = start_program
        self.workdir = e2e_dir() / self.name
        self.shots_dir = e2e_dir() / "screenshots" / self.name
        self.prefix = self.workdir / "prefix"
        self.display: Optional[XDisplay] = None
        self.server = TimeServer(port())
        self.program: Optional[subprocess.Popen] = None
        self.env: dict = {}
        self.current_test = ""
        self._last_click = (0.0, -100, -100)
        self._probe_log = None
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
        for path, what in ((exe_path(), "program"), (probe_path(), "probe")):
            if not path.is_file():
                raise HarnessError(f"the {what} is missing: {path} (build first)")
        template = ensure_template()
        _install_terminate_handler()
        _OPEN_SESSIONS.append(self)
        if self.workdir.exists():
            self._sweep_previous_run()
            shutil.rmtree(self.workdir)
        shutil.rmtree(self.shots_dir, ignore_errors=True)
        self.workdir.mkdir(parents=True)
        self.shots_dir.mkdir(parents=True)
        subprocess.run(["cp", "-a", str(template), str(self.prefix)], check=True)
        _give_server_dir(self.prefix)

        self.display = XDisplay(self.workdir / "xvfb.log").start()
        self._remember_process("xvfb", self.display.process)
        self.env = wine_env(self.prefix, self.display.name)
        self._probe_log = open(self.workdir / "probe.log", "a")

        probe = windows_to_unix(self.prefix, PROBE_EXE)
        probe.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(probe_path(), probe)
        self.install_program()
        for windows_path, content in self.files.items():
            target = windows_to_unix(self.prefix, windows_path)
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(content.encode("latin-1") if isinstance(content, str) else content)
        if self.registry:
            self.import_registry(self.registry)
        if self.start_server_on_enter:
            self.server.start()
        if self.start_program_on_enter:
            self.start_program()
        log(f"{self.name}: ready in {time.monotonic() - self._started_at:.1f} s "
            f"(display {self.display.name})")

    # A test run killed from outside (a ctest time limit) cannot clean up; the next run of
    # the same test ends what that one left, by the process ids it wrote down.

    def _remember_process(self, role: str, process: subprocess.Popen):
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
                _wineserver_wait(wine_env(self.prefix, None), kill=True)
            tmp = _server_tmp_dir(self.prefix)
            if tmp:
                shutil.rmtree(tmp, ignore_errors=True)

    def close(self):
        if self._closed:
            return
        self._closed = True
        with contextlib.suppress(ValueError):
            _OPEN_SESSIONS.remove(self)
        if self.program and self.program.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                self.program.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.program.wait(10)
        if self.env:
            try:
                _wineserver_wait(self.env, kill=True)
            except (subprocess.TimeoutExpired, OSError) as error:
                log(f"{self.name}: wineserver did not end: {error}")
        with contextlib.suppress(Exception):
            self.server.stop()
        if self.display:
            self.display.stop()
        if self._probe_log:
            self._probe_log.close()
            self._probe_log = None
        if self.prefix.exists():
            tmp = _server_tmp_dir(self.prefix)
            if tmp:
                shutil.rmtree(tmp, ignore_errors=True)
            if os.environ.get("ZELMORA_E2E_KEEP") != "1":
                shutil.rmtree(self.prefix, ignore_errors=True)
        if self._started_at:
            log(f"{self.name}: closed after {time.monotonic() - self._started_at:.1f} s")

    # -- Wine -------------------------------------------------------------------------

    def wine(self, *args, timeout: float = 60, check: bool = True) -> subprocess.CompletedProcess:
        return run_wine(list(args), self.env, timeout, self.name, check)

    def unix_path(self, windows_path: str) -> Path:
        return windows_to_unix(self.prefix, windows_path)

    @property
    def program_exe(self) -> str:
        return str(PureWindowsPath(self.program_dir) / "Zelmora.exe")

    def install_program(self, program_dir: Optional[str] = None):
        if program_dir:
            self.program_dir = program_dir
        target = self.unix_path(self.program_exe)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(exe_path(), target)

    def start_program(self, *args, wait: bool = True, timeout: float = 60):
        """Starts the program by its Windows path, and waits for its window by default."""
        log_path = self.workdir / "program.log"

        def start():
            printed = log_path.stat().st_size if log_path.exists() else 0
            with open(log_path, "ab") as out:
                self.program = subprocess.Popen([WINE, self.program_exe, *args], env=self.env,
                                                stdout=out, stderr=subprocess.STDOUT,
                                                cwd=self.unix_path(self.program_dir))
            self._remember_process("program", self.program)
            # Wine's failed starts end within milliseconds; a real start runs for seconds.
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.program.wait(0.2)
            return self.program, self.program.poll(), log_path.stat().st_size != printed

        start_with_restarts(self.name, "the program", start)
        if wait:
            self.wait_window(timeout)
        return self.program

    def wait_window(self, timeout: float = 60):
        deadline = time.monotonic() + timeout
        while True:
            result = self.probe("wait-window", str(min(10, max(1, deadline - time.monotonic()))),
                                check=False)
            if result.get("ok"):
                return result
            if self.program and self.program.poll() is not None:
                raise HarnessError(f"the program ended ({self.program.returncode}) "
                                   "before its window appeared")
            if time.monotonic() > deadline:
                raise HarnessError("the program's window did not appear")

    def program_alive(self) -> bool:
        return self.program is not None and self.program.poll() is None

    def wait_exit(self, timeout: float) -> Optional[int]:
        """The exit code, or None when the program still runs after timeout seconds."""
        if not self.program:
            return None
        try:
            return self.program.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    # -- probe ------------------------------------------------------------------------

    def probe(self, *args, check: bool = True, timeout: float = 60) -> dict:
        def start():
            started = time.monotonic()
            result = run_detached([WINE, PROBE_EXE, *args], self.env, timeout)
            self._log_probe(args, result.returncode, time.monotonic() - started, result.stdout,
                            result.stderr)
            return result, result.returncode, bool(result.stdout or result.stderr)

        result = start_with_restarts(self.name, f"the probe ({args[0]})", start)
        try:
            data = json.loads(result.stdout.strip().splitlines()[-1])
        except (json.JSONDecodeError, IndexError):
            raise HarnessError(f"probe {' '.join(args)} printed no JSON: "
                               f"{result.stdout!r} {result.stderr!r}") from None
        if check and "error" in data:
            raise HarnessError(f"probe {' '.join(args)}: {data['error']}")
        return data

    def _log_probe(self, args, returncode, seconds: float, stdout: str, stderr: str):
        if self._probe_log:
            self._probe_log.write(f"{time.strftime('%H:%M:%S')} {' '.join(args)} "
                                  f"-> {returncode} in {seconds:.2f} s\n"
                                  f"{stdout.strip()[:2000]}\n{stderr.strip()[:2000]}\n")
            self._probe_log.flush()

    def probe_async(self, *args) -> subprocess.Popen:
        """Starts the probe without waiting (for `watch`); read it with finish_probe()."""
        out = tempfile.TemporaryFile("w+")
        err = tempfile.TemporaryFile("w+")
        process = subprocess.Popen([WINE, PROBE_EXE, *args], env=self.env,
                                   stdout=out, stderr=err, text=True)
        process.output_file = out
        process.error_file = err
        return process

    def start_probe(self, *args, timeout: float = 15) -> subprocess.Popen:
        """Starts an async probe and waits until it has printed its first line."""
        def start():
            started = time.monotonic()
            process = self.probe_async(*args)
            if self._first_line(process, timeout):
                return process, None, True
            if process.poll() is None:
                process.kill()
            process.wait()
            process.output_file.seek(0)
            process.error_file.seek(0)
            out, err = process.output_file.read(), process.error_file.read()
            process.output_file.close()
            process.error_file.close()
            self._log_probe(args, process.returncode, time.monotonic() - started, out, err)
            return None, process.returncode, bool(out or err)

        process = start_with_restarts(self.name, f"the probe ({args[0]})", start)
        if not process:
            raise HarnessError(f"the probe did not start ({' '.join(args)})")
        return process

    @staticmethod
    def _first_line(process: subprocess.Popen, timeout: float) -> bool:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            out = process.output_file
            out.seek(0)
            if out.readline().endswith("\n"):
                return True
            if process.poll() is not None:
                return False
            time.sleep(0.02)
        return False

    def operate(self, control_id: int, timeout: float = 20,
                finals=FINAL_STATUS_PREFIXES,
                while_waiting: Optional[Callable[[], object]] = None) -> "Operation":
        """Clicks a button and follows the status line until it shows an outcome.

        The status line is first set to a marker, so that an outcome equal to the previous
        one is still seen, however fast it comes. The texts are polled every few
        milliseconds from the window manager, so a frozen window does not hide them; a
        status shown for less than that may be missed. while_waiting, if given, runs right
        after the click and its result is kept in Operation.during.
        """
        dump = self.dump()
        watch = self.start_probe("watch", str(STATUS_ID), str(timeout), "--mark", STATUS_MARK,
                                 *finals)
        started = time.monotonic()
        self.click_control(control_id, dump, settle=0)
        during = while_waiting() if while_waiting else None
        result = self.finish_probe(watch, timeout + 30)
        seconds = time.monotonic() - started
        texts = [c["text"] for c in result["changes"] if c["text"] != STATUS_MARK]
        final = texts[-1] if texts else STATUS_MARK
        return Operation(texts, final, result["finished"], seconds, during)

    @staticmethod
    def finish_probe(process: subprocess.Popen, timeout: float = 120) -> dict:
        """Waits for an async probe and returns the JSON of its last line."""
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise HarnessError("the probe did not finish") from None
        out = process.output_file
        out.seek(0)
        text = out.read()
        out.close()
        process.error_file.close()
        try:
            return json.loads(text.strip().splitlines()[-1])
        except (json.JSONDecodeError, IndexError):
            raise HarnessError(f"probe printed no JSON: {text!r}") from None

    def dump(self) -> dict:
        data = self.probe("dump")
        if not data.get("found"):
            raise HarnessError("the main window is gone")
        return data

    def control(self, control_id: int, dump: Optional[dict] = None) -> dict:
        dump = dump or self.dump()
        for c in dump["controls"]:
            if c["id"] == control_id:
                return c
        raise HarnessError(f"no control with id {control_id}")

    def status(self) -> str:
        """The status line; read from the window manager, so it answers while frozen."""
        return self.probe("status")["status"]

    def windows(self) -> list:
        return self.probe("windows")["windows"]

    def wait_for(self, predicate: Callable[[], object], timeout: float, interval: float = 0.1,
                 message: str = "condition"):
        """Polls predicate until it returns something true; returns that, or raises."""
        deadline = time.monotonic() + timeout
        last = None
        while True:
            last = predicate()
            if last:
                return last
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out after {timeout} s waiting for {message}")
            time.sleep(interval)

    def wait_status(self, accept: Callable[[str], bool], timeout: float,
                    message: str = "the status") -> str:
        seen = []

        def check():
            text = self.status()
            if not seen or seen[-1] != text:
                seen.append(text)
            return text if accept(text) else None

        try:
            return self.wait_for(check, timeout, message=message)
        except AssertionError as error:
            raise AssertionError(f"{error}; status went {seen}") from None

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

    @staticmethod
    def client_to_screen(dump: dict, x: int, y: int) -> tuple:
        ox, oy = dump["client_origin"]
        return ox + x, oy + y

    def control_center(self, control_id: int, dump: Optional[dict] = None) -> tuple:
        dump = dump or self.dump()
        return self.client_to_screen(dump, *center(self.control(control_id, dump)["rect"]))

    def click_control(self, control_id: int, dump: Optional[dict] = None, **kwargs):
        """A real pointer click at the middle of the control."""
        x, y = self.control_center(control_id, dump)
        self.click(x, y, **kwargs)

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

    def pixel(self, x: int, y: int, image: Optional[Image] = None) -> tuple:
        image = image or self.screenshot(f"pixel-{x}-{y}")
        return image.pixel(x, y)

    # -- registry ---------------------------------------------------------------------

    def import_registry(self, values: dict):
        """Writes {key: {name: str|int}} in one regedit run."""
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

    def reg_query(self, key: str, value: Optional[str] = None):
        """(type, data) of one value, or None when it (or the key) does not exist.

        Without value, a dict {name: (type, data)} of the key's values (None if no key).
        """
        args = ["reg", "query", key] + (["/v", value] if value is not None else [])
        result = self.wine(*args, check=False)
        if result.returncode != 0:
            return None
        found = {}
        for line in result.stdout.splitlines():
            m = re.match(r"^    (.*?)    (REG_[A-Z_]+)    ?(.*)$", line.rstrip("\r"))
            if m:
                name, kind, data = m.groups()
                if kind == "REG_DWORD":
                    data = int(data, 16)
                found[name] = (kind, data)
        if value is None:
            return found
        for name, entry in found.items():
            if name.lower() == value.lower():
                return entry
        return None

    def reg_add(self, key: str, value: str, data, kind: Optional[str] = None):
        kind = kind or ("REG_DWORD" if isinstance(data, int) else "REG_SZ")
        self.wine("reg", "add", key, "/v", value, "/t", kind, "/d", str(data), "/f")

    def reg_delete(self, key: str, value: Optional[str] = None):
        args = ["reg", "delete", key] + (["/v", value] if value is not None else []) + ["/f"]
        self.wine(*args, check=False)

    # -- tray -------------------------------------------------------------------------

    def tray(self) -> dict:
        return self.probe("tray")

    def tray_icons(self, tip: str = TRAY_TIP) -> list:
        """Screen rectangles of the icons with this tip shown in the tray now."""
        return shown_icons(self.tray(), tip)

    def click_tray(self, button: int = 1, double: bool = False, tip: str = TRAY_TIP):
        icons = self.tray_icons(tip)
        if len(icons) != 1:
            raise HarnessError(f"expected one tray icon with the tip {tip!r}, found {icons}")
        self.click(*center(icons[0]), button=button, double=double)

class SessionTestCase(unittest.TestCase):
    """A test class sharing one Session; set session_options for the Session's arguments."""

    session_options: dict = {}
    s: Session

    @classmethod
    def setUpClass(cls):
        cls.s = Session(f"{cls.__module__}.{cls.__name__}", **cls.session_options)
        # A class cleanup also runs when a subclass's setUpClass fails after this one, which
        # tearDownClass would not: the display, the server's port and Wine would be left.
        cls.addClassCleanup(cls.s.close)
        cls.s.__enter__()

    def setUp(self):
        self.s.current_test = self._testMethodName
        started = time.monotonic()
        self.addCleanup(lambda: log(f"{self.id()}: {time.monotonic() - started:.1f} s"))
        self.addCleanup(self._screenshot_if_failed)

    def _screenshot_if_failed(self):
        outcome = getattr(self, "_outcome", None)
        if outcome is not None and not getattr(outcome, "success", True):
            with contextlib.suppress(Exception):
                shot = self.s.screenshot("failure")
                log(f"{self.id()}: failed; screen saved as {shot.path}")


def main(argv):
    if argv[1:] == ["prepare"]:
        ensure_template()
        return 0
    print("usage: harness.py prepare", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

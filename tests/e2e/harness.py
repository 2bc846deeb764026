"""End-to-end harness: the program under test, on top of wine.py's prefix and display.

The program's ids, texts, registry names and layout come from program.json, which the build
writes from its headers. Paths (the CMake registration sets them; see wine.py for more):
  ZELMORA_EXE          the Zelmora.exe under test, of the target's word size
  ZELMORA_PROBE        the zprobe.exe of that word size; ZELMORA_SHELL_PROBE the x86_64 one
  ZELMORA_PROGRAM_FACTS  program.json
"""

import contextlib
import itertools
import json
import os
import re
import shutil
import signal
import select
import subprocess
import tempfile
import threading
import time
import unittest
from dataclasses import dataclass
from datetime import datetime, timedelta
from pathlib import Path, PureWindowsPath
from typing import Callable, Optional

from timeserver import TimeServer, TinyProxy
from wine import (REPO, SCREEN, HarnessError, WineSession, build_dir, center,  # noqa: F401
                  env_path, log, not_run, port, program_pid, read_png, read_text,
                  slower, start_with_restarts, target)


STEP_REFUSED = re.compile(r"^[0-9a-f:]+err:\w+:NtSetSystemTime not allowed: difference (-?\d+) ms$",
                          re.M)
ESTIMATE = re.compile(r'^[0-9a-f:]+warn:\w+:OutputDebugStringA "(?P<who>\w+) estimate: '
                      r'offset=(?P<offset>[-+][\d.]+)ms bound=(?P<bound>[\d.]+)ms '
                      r'source=(?P<source>\w+) step=(?P<step>\w+)"$', re.M)


def _built(variable: str, name: str, folder: str = "") -> Path:
    folder = folder or {"i686": "i686-e2e"}.get(target().arch, target().arch)
    return env_path(variable, build_dir() / folder / name)


def pe_machine(path: Path) -> str:
    """The machine a PE file's COFF header names: i686, x86_64, or its number."""
    head = path.read_bytes()[:4096]
    at = int.from_bytes(head[0x3C:0x40], "little") + 4  # past the "PE\0\0" signature
    machine = int.from_bytes(head[at:at + 2], "little")
    return {0x14C: "i686", 0x8664: "x86_64"}.get(machine, hex(machine))


EXE = _built("ZELMORA_EXE", "Zelmora.exe")
PROBE = _built("ZELMORA_PROBE", "zprobe.exe")
SHELL_PROBE = _built("ZELMORA_SHELL_PROBE", "zprobe.exe", "x86_64")
FACTS = json.loads(_built("ZELMORA_PROGRAM_FACTS", "program.json", "tests/e2e").read_text())
ID = FACTS["ids"]
(FRAME2, CHK_AUTORUN, TXT_INTERVAL, CHK_AUTO, LBL_AUTO, CMD_SYNCHRONIZE, CMD_CHECK, LBL_TIME,
 LABEL4, LABEL2, IMAGE1, LBL_VERSION, LBL_WEBSITE, LBL_README, LBL_INFO, MENU_RESTORE,
 MENU_EXIT) = (ID[name] for name in (
     "Frame2 chkAutoRun txtInterval chkAuto lblAuto cmdSynchronize cmdCheckTime lblTime Label4 "
     "Label2 Image1 lblVersion lblWebsite lblReadme lblInfo mnuRestore mnuExit").split())
READY = FACTS["ready"]
GETTING_TIME = FACTS["gettingTime"]
TIME_OK = FACTS["timeOk"]
CANNOT_GET = FACTS["cannotGetTime"]
CANNOT_SET = FACTS["cannotSetTime"]
STEP_TOO_FAR = FACTS["stepTooFar"]
# Both in the 64-bit view, where Group Policy writes and the program reads.
POLICY_KEY = "HKLM\\" + FACTS["policyKey"]
PREFERENCE_KEY = "HKLM\\" + FACTS["preferenceKey"]
INACCURATE = re.compile(f"^{re.escape(FACTS['inaccuratePrefix'])}(\\d+)"
                        f"{re.escape(FACTS['inaccurateSuffix'])}$")
UPDATED = re.compile(f"^{re.escape(FACTS['updatedPrefix'])}(.+)"
                     f"{re.escape(FACTS['updatedSuffix'])}$")
FINAL_STATUS_PREFIXES = (TIME_OK, FACTS["inaccuratePrefix"], FACTS["updatedPrefix"], CANNOT_GET,
                         CANNOT_SET, STEP_TOO_FAR)
TRAY_TIP = FACTS["trayTip"]
EXIT_QUESTION = FACTS["exitQuestion"]
MAIN_CLASS = FACTS["mainWindowClass"]
PROGRAM_TITLE = FACTS["title"]
SETTINGS_SUBKEY = rf"{FACTS['settingsRoot']}{FACTS['appName']}\{FACTS['section']}"
SETTINGS_KEY = "HKCU\\" + SETTINGS_SUBKEY
RUN_SUBKEY = FACTS["runSubkey"]
RUN_KEY = "HKLM\\" + RUN_SUBKEY
# Where the user's proxy is set, as Internet Options and the Settings app set it.
PROXY_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
RUN_VALUE = FACTS["runValueName"]
# Seconds a Check may take at the most: the window's longest wait for a download, and slack.
DOWNLOAD_LIMIT = FACTS["downloadLimitMs"] / 1000 + 5
DEFAULT_PROGRAM_DIR = r"C:\Program Files\Zelmora"
PROBE_EXE = r"C:\zprobe\zprobe.exe"
SHELL_PROBE_EXE = r"C:\zprobe\zprobe_shell.exe"

REG_SZ, REG_DWORD = 1, 4
WM_NCHITTEST, WM_QUERYENDSESSION, WM_ENDSESSION = 0x84, 0x11, 0x16
HTMINBUTTON, HTCLOSE = 8, 20
WS_MAXIMIZE = 0x01000000

STATUS_MARK = "[e2e: before the click]"


@dataclass
class Operation:
    statuses: list  # the status texts seen after the click, in order
    final: str  # the outcome, or the status at the time limit
    finished: bool  # an outcome appeared within the time limit
    seconds: float  # from the click to the outcome (or the limit)
    during: object = None  # what while_waiting returned
    ended_at: float = 0.0  # time.time() once the outcome was seen


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


def last_json(text: str, what: str) -> dict:
    try:
        return json.loads(text.strip().splitlines()[-1])
    except (json.JSONDecodeError, IndexError):
        raise HarnessError(f"{what} printed no JSON: {text!r}") from None


def shown_icons(tray: dict, tip: str = TRAY_TIP) -> list:
    """Screen rectangles of the icons with this tip in a `zprobe tray` answer.

    Wine keeps a removed icon's tooltip tool, with an empty rectangle, so those are left out.
    """
    return [i["rect"] for i in tray.get("icons", [])
            if i["tip"] == tip and i["rect"][2] > 0 and i["rect"][3] > 0]


# The longest command line `zprobe serve` takes, its line break included.
PROBE_LINE_BYTES = int(re.search(r"kServeLineBytes = (\d+);", (
    REPO / "tests" / "e2e" / "probe" / "zprobe.cpp").read_text()).group(1))


class ProbeServer:
    """One `zprobe serve` process, asked question after question.

    Starting a Wine process takes a second under qemu-i386: one probe for all a session's
    questions saves most of the end-to-end suite's time there. A server that is gone (its
    wineserver ended) is started again with the next question; one that does not answer in
    time is ended. Wine processes are started and asked from one thread (see WineSession).
    """

    def __init__(self, session: "Session", exe: str):
        self.session = session
        self.exe = exe
        self.watching = False  # a command that runs on (`watch`) holds this server
        self.process: Optional[subprocess.Popen] = None
        self.errors = None
        self._pending = b""
        self._printed: list = []  # the current command's lines so far
        self._numbers = itertools.count(1)
        self._asked = 0  # the number of the command being answered

    def ask(self, question: list, timeout: float, first_line: bool = False) -> tuple:
        """(exit code, stdout, stderr) of one command, as a probe of its own would give; with
        first_line, (None, that line, "") as soon as the command printed one."""
        def start():
            fresh = self.send(question)
            answer = self.answer(timeout, first_line)
            # Only a fresh server's silent failure to start is started again, never a command.
            return answer, answer[0] if fresh else 0, bool(answer[1] or answer[2])

        return start_with_restarts(self.session.name, f"the probe ({question[0]})", start)

    def send(self, question: list) -> bool:
        """Gives the server a command, starting it first when it does not run; whether it did."""
        if any(c in arg for arg in question for c in "\t\r\n"):
            raise HarnessError(f"a probe argument holds a tab or line break: {question!r}")
        number = next(self._numbers)
        line = "\t".join([str(number), *question]).encode() + b"\n"
        if len(line) >= PROBE_LINE_BYTES:
            raise HarnessError(f"a probe command of {len(line)} bytes; the probe reads "
                               f"{PROBE_LINE_BYTES - 1}: {question[0]}")
        fresh = not self.process or self.process.poll() is not None
        if fresh:
            self._end()
            self.errors = tempfile.TemporaryFile("w+b")
            self._pending, self._printed = b"", []
            self.process = subprocess.Popen(
                self.session.target.wine.command("wine", self.exe, "serve"),
                env=self.session.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=self.errors)
        with contextlib.suppress(OSError):  # when gone, its exit code and words say why
            self.process.stdin.write(line)
            self.process.stdin.flush()
        self._asked = number
        return fresh

    def answer(self, timeout: float, first_line: bool = False) -> tuple:
        """The rest of the current command's answer (see ask)."""
        lines, deadline = self._printed, time.monotonic() + slower(timeout)
        while (line := self._next_line(deadline)) is not None:
            if line.startswith('{"served":'):
                self._printed, self.watching = [], False
                served = json.loads(line)
                if served.get("command") != self._asked:
                    self.stop()
                    raise HarnessError(f"the probe answered command {served.get('command')} "
                                       f"for command {self._asked}")
                return served["served"], "\n".join(lines), ""
            lines.append(line)
            if first_line:
                return None, line, ""
        self._printed = []
        code = self.process.poll()
        errors = self.stop()
        if code is None:
            raise HarnessError(f"the probe did not finish in {slower(timeout)} s")
        return code, "\n".join(lines + [self._pending.decode(errors="replace")]), errors

    def _next_line(self, deadline: float) -> Optional[str]:
        """The server's next line; None once it has ended or the deadline has passed."""
        fd = self.process.stdout.fileno()
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            if select.select([fd], [], [], max(0, min(left, 0.5)))[0]:
                if not (chunk := os.read(fd, 65536)):
                    return None
                self._pending += chunk
            # Ended, though a Wine process it started may hold its stdout open.
            elif (left <= 0 or self.process.poll() is not None) and \
                    not select.select([fd], [], [], 0)[0]:
                return None
        line, self._pending = self._pending.split(b"\n", 1)
        return line.decode(errors="replace").rstrip("\r")

    def stop(self) -> str:
        """Ends the server and frees it; what it wrote to stderr."""
        self.watching = False
        return self._end()

    def _end(self) -> str:
        # It leaves when its stdin closes, after the current command.
        if self.process:
            with contextlib.suppress(OSError):
                self.process.stdin.close()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(5)
            if self.process.poll() is None:
                self.process.kill()
                self.process.wait()
            self.process.stdout.close()
            self.process = None
        errors, self.errors = self.errors, None
        if not errors:
            return ""
        errors.seek(0)
        with errors:
            return errors.read().decode(errors="replace")


# -------------------------------------------------------------------------------------
# The session


class Session(WineSession):
    """A WineSession with the program installed and, unless told otherwise, started."""

    def __init__(self, name: str, *, program_dir: str = DEFAULT_PROGRAM_DIR,
                 start_program: bool = True, prepare: Callable = lambda session: None,
                 trace: tuple = (), **options):
        super().__init__(name, **options)
        self.trace = trace  # Wine debug channels traced in the program's log (see traced)
        self.prepare_prefix = prepare
        self.program_dir = program_dir
        self.start_program_on_enter = start_program
        self.program: Optional[subprocess.Popen] = None
        self._probe_log = None
        self._probe_servers: dict = {}  # (exe, thread) -> its ProbeServer

    def prepare(self):
        for path, what in ((EXE, "program"), (PROBE, "probe"), (SHELL_PROBE, "shell's probe")):
            if not path.is_file():
                raise HarnessError(f"the {what} is missing: {path} (build first)")
        if pe_machine(EXE) != self.target.arch:  # the word size users get, never a stand-in
            raise HarnessError(f"{EXE} is for {pe_machine(EXE)}, not {self.target.arch}")
        self._probe_log = open(self.workdir / "probe.log", "a")
        for source, windows_path in ((PROBE, PROBE_EXE), (SHELL_PROBE, SHELL_PROBE_EXE)):
            path = self.unix_path(windows_path)
            path.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, path)
        self.install_program()
        self.prepare_prefix(self)

    def started(self):
        if self.start_program_on_enter:
            self.start_program()

    def stopping(self):
        self.kill_program()
        for server in self._probe_servers.values():
            server.stop()
        self._probe_servers.clear()
        if self._probe_log:
            self._probe_log.close()
            self._probe_log = None

    # -- the program ------------------------------------------------------------------

    @property
    def program_exe(self) -> str:
        return str(PureWindowsPath(self.program_dir) / FACTS["exeName"])

    def install_program(self, program_dir: Optional[str] = None):
        if program_dir:
            self.program_dir = program_dir
        path = self.unix_path(self.program_exe)
        path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(EXE, path)

    def start_program(self, *args, wait: bool = True, timeout: float = 60):
        """Starts the program by its Windows path, and waits for its window by default."""
        self.program, _, _ = self.spawn(self.program_exe, *args,
                                        log_path=self.workdir / "program.log",
                                        cwd=self.unix_path(self.program_dir), what="the program",
                                        winedebug=",".join(f"+{c}" for c in ("pid", *self.trace))
                                        if self.trace else "")
        self.remember_process("program", self.program)
        if wait:
            self.wait_window(timeout)
        return self.program

    def traced(self, pid: int, channel: str) -> list:
        """The trace lines of a Wine debug channel (one of trace) the program wrote, by its
        Windows pid: what it asked of Windows itself, not what Wine did on its behalf."""
        if channel not in self.trace:
            raise HarnessError(f"the program's {channel} calls are not traced")
        return re.findall(rf"^{pid:04x}:[0-9a-f]+:trace:{channel}:(.*)$",
                          (self.workdir / "program.log").read_text(errors="replace"), re.M)

    def clock_log(self, since: int = 0) -> tuple:
        """(the steps Wine refused, in ms; the estimates, as dicts) that the program's log
        holds from byte since on. Needs trace=("seh",): OutputDebugString comes on that channel.
        Wine refuses every step of half a second or more, and lets a smaller one pass unlogged."""
        if "seh" not in self.trace:
            raise HarnessError("the program's debug output is not traced")
        text = (self.workdir / "program.log").read_bytes()[since:].decode(errors="replace")
        return ([int(n) for n in STEP_REFUSED.findall(text)],
                [m.groupdict() for m in ESTIMATE.finditer(text)])

    def log_size(self) -> int:
        path = self.workdir / "program.log"
        return path.stat().st_size if path.exists() else 0

    def wait_window(self, timeout: float = 60):
        deadline = time.monotonic() + slower(timeout)
        while True:
            result = self.probe("wait-window", str(min(10, max(1, deadline - time.monotonic()))),
                                check=False)
            if result.get("ok"):
                # The window shows before the start-up ends: the tray icon, then the status.
                self.wait_for(self.status, timeout, message="the status line after the start")
                return result
            if self.program and self.program.poll() is not None:
                raise not_run("the program until its window appeared", self.program.returncode,
                              read_text(str(self.workdir / "program.log")))
            if time.monotonic() > deadline:
                raise HarnessError("the program's window did not appear")

    def program_pid(self) -> Optional[int]:
        """The program's own Linux process (for /proc), not what launched it."""
        return program_pid(self.prefix, FACTS["exeName"])

    def kill_program(self):
        if self.program and self.program.poll() is None:
            with contextlib.suppress(ProcessLookupError, TypeError):
                os.kill(self.program_pid(), signal.SIGKILL)
            with contextlib.suppress(ProcessLookupError):
                self.program.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.program.wait(10)

    def program_alive(self) -> bool:
        return self.program is not None and self.program.poll() is None

    def wait_exit(self, timeout: float) -> Optional[int]:
        """The exit code, or None when the program still runs after timeout seconds."""
        if not self.program:
            return None
        try:
            return self.program.wait(slower(timeout))
        except subprocess.TimeoutExpired:
            return None

    # -- probe ------------------------------------------------------------------------

    @staticmethod
    def _probe_args(args) -> list:
        # `tray` reads the taskbar's own memory: that probe must have the shell's word size.
        return [SHELL_PROBE_EXE if args[0] == "tray" else PROBE_EXE, *args]

    def _probe_server(self, args, watch: bool = False) -> tuple:
        """(server, question): the thread's server for questions, or a free one for a watch."""
        exe, *question = self._probe_args(args)
        for n in itertools.count():
            key = (exe, threading.get_ident(), ("watch", n) if watch else "ask")
            server = self._probe_servers.setdefault(key, ProbeServer(self, exe))
            if not server.watching:
                server.watching = watch
                return server, question

    def probe(self, *args, check: bool = True, timeout: float = 60) -> dict:
        started = time.monotonic()
        server, question = self._probe_server(args)
        returncode, stdout, stderr = server.ask(question, timeout)
        self._log_probe(args, returncode, time.monotonic() - started, stdout, stderr)
        try:
            data = last_json(stdout, f"probe {' '.join(args)}")
        except HarnessError:
            raise not_run(f"the probe ({' '.join(args)})", returncode,
                          stdout + stderr) from None
        if check and "error" in data:
            raise HarnessError(f"probe {' '.join(args)}: {data['error']}")
        return data

    def _log_probe(self, args, returncode, seconds: float, stdout: str, stderr: str):
        if self._probe_log:
            self._probe_log.write(f"{time.strftime('%H:%M:%S')} {' '.join(args)} "
                                  f"-> {returncode} in {seconds:.2f} s\n"
                                  f"{stdout.strip()[:2000]}\n{stderr.strip()[:2000]}\n")
            self._probe_log.flush()

    def probe_async(self, *args) -> ProbeServer:
        """Gives a probe a command it may never answer (`crash`); end it with its stop()."""
        server, question = self._probe_server(args, watch=True)
        server.send(question)
        return server

    def start_probe(self, *args, timeout: float = 15) -> ProbeServer:
        """Starts a command that runs on (`watch`) and waits until it has printed its first
        line; finish_probe() reads the rest."""
        started = time.monotonic()
        server, question = self._probe_server(args, watch=True)
        code, out, err = server.ask(question, timeout, first_line=True)
        if code is not None:
            self._log_probe(args, code, time.monotonic() - started, out, err)
            raise HarnessError(f"the probe did not start ({' '.join(args)})")
        return server

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
        watch = self.start_probe("watch", str(LBL_INFO), str(slower(timeout)), "--mark",
                                 STATUS_MARK, *finals)
        started = time.monotonic()
        self.click_control(control_id, dump, settle=0)
        during = while_waiting() if while_waiting else None
        result = self.finish_probe(watch, timeout + 30)
        seconds = time.monotonic() - started
        texts = [c["text"] for c in result["changes"] if c["text"] != STATUS_MARK]
        final = texts[-1] if texts else STATUS_MARK
        return Operation(texts, final, result["finished"], seconds, during, time.time())

    @staticmethod
    def finish_probe(server: ProbeServer, timeout: float = 120) -> dict:
        """Waits for a started probe command to end and returns the JSON of its last line."""
        return last_json(server.answer(timeout)[1], "the probe")

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

    def responsive(self) -> bool:
        """Whether the window answers messages; not when the probe failed to start under load."""
        try:
            return self.probe("status")["responsive"]
        except HarnessError:
            return False

    def recover(self, timeout: float, interval: float = 0.1):
        """Ends whatever the time server is still sending and waits for the window to answer."""
        self.server.reset()
        self.wait_for(self.responsive, timeout, interval, message="the window to answer again")

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

    # -- tray -------------------------------------------------------------------------

    def tray(self) -> dict:
        data = self.probe("tray")
        if not data["found"]:
            raise HarnessError("no taskbar: the tray cannot be looked at")
        return data

    def icon_deletions(self, pid: int) -> int:
        """How often the program asked the shell to delete its icon (NIM_DELETE). Wine removes
        a dead window's icons by itself, so an empty tray does not tell."""
        calls = [line.split(",")[0].split()[-1] for line in self.traced(pid, "systray")
                 if line.startswith("Shell_NotifyIconW dwMessage = ")]
        if "0" not in calls:  # not even the icon's NIM_ADD: the trace is not there to read
            raise HarnessError(f"no trace of the program's tray calls: {calls}")
        return calls.count("2")

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
    server_class = TimeServer
    s: Session
    rollover_retries = 0

    @classmethod
    def setUpClass(cls):
        cls.s = Session(f"{cls.__module__}.{cls.__name__}", prepare=cls.prepare_prefix,
                        **cls.session_options)
        cls.s.server = cls.server_class(port())
        # A class cleanup also runs when a subclass's setUpClass fails after this one, which
        # tearDownClass would not: the display, the server's port and Wine would be left.
        cls.addClassCleanup(cls.s.close)
        cls.addClassCleanup(lambda: log(f"{cls.__name__}: {cls.rollover_retries} retries "
                                        "after a second boundary"))
        cls.s.__enter__()

    @classmethod
    def may_retry_after_rollover(cls, what: str, page_at: Optional[float], seen_at: float):
        """Whether a set the system refused may be tried again: once per class, and only when
        the page was written in an earlier second than the outcome was seen, so the program
        may have read its clock a second on (Wine refuses a set of a second or more)."""
        if cls.rollover_retries or page_at is None or int(page_at) == int(seen_at):
            return False
        cls.rollover_retries += 1
        log(f"{cls.__name__}: {what}: page written at {page_at:.3f}, outcome seen at "
            f"{seen_at:.3f}, across a second boundary; trying once more (retry 1 of 1)")
        return True

    @classmethod
    def prepare_prefix(cls, session: Session):
        """Changes the prefix before any Wine process of it starts."""

    def setUp(self):
        self.s.current_test = self._testMethodName
        started = time.monotonic()
        self.addCleanup(lambda: log(f"{self.id()}: {time.monotonic() - started:.1f} s"))
        self.addCleanup(self._screenshot_if_failed)

    def through_proxy(self, use: Callable[[Optional[str]], None], rows, check: Callable):
        """A real web proxy for this test, named by use(address) (use(None) at the test's end);
        then check(proxy, *rest) for each row (name, proxy up, *rest) in a subtest, the proxy
        stopped from the first row on where it is down."""
        proxy = TinyProxy(self.s.workdir / "proxy").start()
        self.addCleanup(proxy.stop)
        self.addCleanup(use, None)
        use(proxy.address)
        for name, up, *rest in rows:
            with self.subTest(name):
                if not up:
                    proxy.stop()
                check(proxy, *rest)

    def fresh_server(self):
        """The time server listening (a test may have stopped it), with nothing recorded and
        the normal page."""
        if not self.s.server.running:
            self.s.server.start()
        self.s.server.reset()

    def _screenshot_if_failed(self):
        outcome = getattr(self, "_outcome", None)
        if outcome is not None and not getattr(outcome, "success", True):
            with contextlib.suppress(Exception):
                shot = self.s.screenshot("failure")
                log(f"{self.id()}: failed; screen saved as {shot.path}")


# -------------------------------------------------------------------------------------
# What the test modules share


def taskbar_button(s: Session) -> Optional[dict]:
    """The main window's taskbar button while it is shown; None when absent or hidden."""
    for child in s.tray().get("children", []):
        if child["is_main_window"] and child["visible"] and child["rect"][2] > 0:
            return child
    return None


def window_state(s: Session) -> dict:
    d = s.dump()
    return {"visible": d["visible"], "iconic": d["iconic"],
            "maximized": bool(d["style"] & WS_MAXIMIZE), "rect": d["window_rect"]}


def caption_button(s: Session, hit: int) -> tuple:
    """Screen point in the middle of a title-bar button (HTMINBUTTON, HTCLOSE).

    Asks the window itself (WM_NCHITTEST) along the middle of its title bar, from the
    right, so the point is where Wine draws the button, whatever its theme metrics.
    """
    d = s.dump()
    left, top, width, _ = d["window_rect"]
    y = (top + d["client_origin"][1]) // 2
    xs = []
    for x in range(left + width - 2, left + width // 2, -2):
        code = s.probe("send", str(WM_NCHITTEST), "0", str((y << 16) | x))["result"]
        if code == hit:
            xs.append(x)
        elif xs:
            break
    if not xs:
        raise AssertionError(f"no title-bar button with hit code {hit} on row {y}")
    return (min(xs) + max(xs)) // 2, y


def click_caption_button(s: Session, hit: int):
    s.click(*caption_button(s, hit))


def set_interval(s: Session, text: str):
    """Replaces the interval box's text by typing, as a user would."""
    s.click_control(TXT_INTERVAL)
    s.key("ctrl+a", "BackSpace")
    if text:
        s.type_text(text)
    # Keys reach a busy machine's program late.
    s.wait_for(lambda: s.control(TXT_INTERVAL)["text"] == text, 5,
               message=f"the interval box to read {text!r}")


def wait_shown(s: Session, shown: bool = True, timeout: float = 10):
    s.wait_for(lambda: s.probe("status")["visible"] == shown, timeout,
               message=f"the window to {'come back' if shown else 'hide'}")


def wait_dump(s: Session, key: str, message: str = "", timeout: float = 5) -> dict:
    """The first dump whose key (visible, responsive, ...) is true."""
    return s.wait_for(lambda: (lambda d: d if d[key] else None)(s.dump()), timeout,
                      message=message or f"the window to be {key}")


def show_with_icon(s: Session, timeout: float = 10):
    s.wait_for(s.tray_icons, timeout, message="the tray icon")
    s.click_tray(1)
    wait_shown(s, True, timeout)


def reg_values(s: Session, key: str) -> Optional[dict]:
    """{name: (type, bytes)} of a key's values as stored, in the program's registry view; None
    when the key does not exist. A key that exists but cannot be read fails (HarnessError)."""
    root, _, subkey = key.partition("\\")
    data = s.probe("reg-read", root, subkey)
    return {v["name"]: (v["type"], bytes.fromhex(v["hex"])) for v in data["values"]} \
        if data["key_exists"] else None


def set_managed(s: Session, policy: dict, preference: dict):
    """Replaces the policy's and the machine preference's values (name: str|int) as Group
    Policy does, read back through the probe, then says so to a running program as Group
    Policy does."""
    for key, values in ((POLICY_KEY, policy), (PREFERENCE_KEY, preference)):
        s.wine("reg", "delete", key, "/f", "/reg:64", check=False)
        for name, data in values.items():
            kind = "REG_DWORD" if isinstance(data, int) else "REG_SZ"
            s.wine("reg", "add", key, "/v", name, "/t", kind, "/d", str(data), "/f", "/reg:64")
    for key, values in ((POLICY_KEY, policy), (PREFERENCE_KEY, preference)):
        stored = reg_values(s, key.replace("HKLM", "HKLM64", 1))
        if {k: plain(v) for k, v in (stored or {}).items()} != values:
            raise HarnessError(f"{key} holds {stored}, not {values}")
    if s.program_alive():
        s.probe("policy-changed")


def reg_value(s: Session, key: str, name: str) -> Optional[tuple]:
    """(type, bytes) of one value; None when it or its key does not exist."""
    return (reg_values(s, key) or {}).get(name)


def sz(text: str) -> tuple:
    """A REG_SZ value as stored: the text in UTF-16 and one NUL."""
    return REG_SZ, (text + "\0").encode("utf-16-le")


def plain(value: tuple):
    """A REG_SZ value's text, a REG_DWORD's number."""
    kind, data = value
    if kind == REG_DWORD:
        return int.from_bytes(data, "little")
    return data.decode("utf-16-le").rstrip("\0")


def stored_settings(s: Session) -> dict:
    values = reg_values(s, SETTINGS_KEY) or {}
    return {name: values.get(name) for name in ("Interval", "Auto", "AutoRun")}


def other_windows(s: Session, main: dict) -> list:
    """The program's visible top-level windows besides its main window (main: its dump)."""
    return [w for w in s.windows()
            if w["pid"] == main["pid"] and w["visible"] and w["hwnd"] != main["hwnd"]]


def end_program(s: Session):
    """Ends the program the way Windows does at log-off, without the save of the query."""
    if not s.program_alive():
        return
    s.probe("send", str(WM_ENDSESSION), "1", "0", "3000", check=False)
    if s.wait_exit(10) is None:
        s.kill_program()


def set_users_proxy(s: Session, proxy: Optional[str], bypass: str = ""):
    """The user's proxy (host:port, or None for none) as Internet Settings name it, and the
    program started anew: Wine's WinINet reads them once per process."""
    s.import_registry({PROXY_SETTINGS: {"ProxyEnable": 1, "ProxyServer": proxy,
                                        "ProxyOverride": bypass} if proxy else {"ProxyEnable": 0}})
    end_program(s)
    s.start_program()


def start_second_copy(s: Session, timeout: float = 15) -> tuple:
    """Starts the program once more, the way the first was; (exit code, seconds)."""
    _, code, seconds = s.spawn(s.program_exe, log_path=s.workdir / "second-start.log",
                               cwd=s.unix_path(s.program_dir), what="the second copy",
                               wait=timeout)
    return code, seconds

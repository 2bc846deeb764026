"""The clock service, installed by the setup program as an administrator's script installs it,
and asked by the program when Wine refuses the program's own set (as Windows refuses an
ordinary user's). Wine's limits, and how each is handled:
- Its service manager keeps no required privileges, service SID type or recovery actions:
  its sc fails `privs`, `sidtype` and `failureflag`, and querying them answers
  ERROR_INVALID_LEVEL (124). The setup program, rightly, removes the service then; so the
  tests put zservice.exe in sc.exe's place, which passes those three steps on and logs every
  step the setup program takes; the kept settings' checks are skipped, never passed.
- It keeps no access list on a folder (only a Unix mode): that check is tried on a folder of
  the test's own first and skipped when even that one does not read back.
- PIPE_REJECT_REMOTE_CLIENTS and FILE_FLAG_FIRST_PIPE_INSTANCE are not enforced, and every
  process holds an administrator's token: the pipe's access list is read back as the service
  set it, not tried out with another user.
- Its msi puts a per-machine package's Start menu entry into the user's menu, ends a failed
  installation with 1627 where Windows says 1603, and has no Restart Manager to end a running
  Zelmora first (the tests end it as that would, with WM_ENDSESSION): the package's checks
  allow either. It removes an upgraded package without UPGRADINGPRODUCTCODE, so the autorun
  value that an upgrade keeps on Windows goes: that check is skipped, and a removal with the
  property, as Windows Installer makes it, is tried by hand.
- The wineserver ends with the last ordinary process and takes the service with it: the
  session keeps it up with `wineserver -p`.
- It keeps no event log, but writes each string of a record to its `eventlog` debug channel
  (information as trace, warnings as warn, errors as err), after a fixme line with the
  record's type and id, in the log of the process that started the service manager: the
  service's records are read back from there.
"""

import hashlib
import json
import os
import re
import select
import shutil
import struct
import subprocess
import time
import uuid
from typing import Optional

from harness import (CANNOT_GET, CANNOT_SET, CMD_SYNCHRONIZE, FACTS, REG_DWORD, RUN_KEY,
                     RUN_VALUE, SETTINGS_KEY, UPDATED, SessionTestCase, build_dir, end_program,
                     env_path, last_json, plain, program_pid, reg_value, reg_values, slower, sz)
from test_tls import trust_test_authority
from timeserver import DRIP_HEAD, page_with_time

SETUP_NAME = f"Zelmora-{FACTS['versionText']}-setup.exe"
# The setup programs of the builds for the tests' http:// page and for their https:// one.
HTTP_SETUP = env_path("ZELMORA_SERVICE_SETUP", build_dir() / "i686-e2e" / SETUP_NAME)
HTTPS_SETUP = env_path("ZELMORA_HTTPS_SETUP", build_dir() / "i686-tls" / SETUP_NAME)
MSI_NAME = f"Zelmora-{FACTS['versionText']}.msi"
HTTP_SERVICE = HTTP_SETUP.parent / "ZelmoraService.exe"
HTTPS_SERVICE = HTTPS_SETUP.parent / "ZelmoraService.exe"
ZSERVICE = env_path("ZELMORA_ZSERVICE", build_dir() / "i686-e2e" / "zservice.exe")
SETUP_COPY, ZSERVICE_COPY = r"C:\Downloads\Zelmora-setup.exe", r"C:\zprobe\zservice.exe"
SERVICE_COPY = r"C:\zprobe\ZelmoraService.exe"
MSI_COPY, OLD_MSI_COPY = r"C:\Downloads\Zelmora.msi", r"C:\Downloads\Zelmora-old.msi"
RUN_BAT = r"C:\zprobe\run.bat"
MSI_LOG = r"C:\Downloads\msi.log"
# Windows Installer ends a failed installation with 1603; Wine's msi with 1627.
INSTALLATION_FAILED = (1603, 1627)
PACKAGE_REFUSED = 1638  # the setup program over the package's installation
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
NSIS_ENTRY = UNINSTALL_KEY + r"\Zelmora"  # the package's is named by its product code
# The Start menu entry: for all users; Wine's msi puts a package's into the user's own menu.
SHORTCUT = r"Microsoft\Windows\Start Menu\Programs\Zelmora.lnk"
SHORTCUT_FOLDERS = (r"C:\ProgramData", r"C:\users\*\AppData\Roaming")
SC_LOG, SC_FAIL = r"C:\zprobe\sc.log", r"C:\zprobe\sc-fail.txt"
# Where the 32-bit setup program's "$SYSDIR\sc.exe" is.
SYSDIR = r"C:\windows\syswow64"
INSTALL_DIR = r"C:\Program Files (x86)\Zelmora"
# The service's own SID: S-1-5-80- and the SHA-1 of its upper-case name in UTF-16.
SERVICE_SID = "S-1-5-80-" + "-".join(
    map(str, struct.unpack("<5I", hashlib.sha1("ZELMORACLOCK".encode("utf-16-le")).digest())))
RIGHTS, ALIASES = {"GA": 0x10000000, "FA": 0x1F01FF}, {"S-1-5-18": "SY", "S-1-5-32-544": "BA"}
# Network logons denied first, then SYSTEM and the service alone in full, interactive users
# reading and writing but not making instances: no other LOCAL SERVICE process.
PIPE_ACCESS = (True, [("D", "", 0x10000000, "NU"), ("A", "", 0x10000000, "SY"),
                      ("A", "", 0x10000000, SERVICE_SID), ("A", "", 0x12019B, "IU")])
# Administrators and SYSTEM in full, users read and run; nothing inherited (no ID flag).
FOLDER_ACCESS = (True, [("A", "OICI", 0x1F01FF, "BA"), ("A", "OICI", 0x1F01FF, "SY"),
                        ("A", "OICI", 0x1200A9, "BU")])
# The installers' steps that make the service least privileged and restarted, in order; the
# setup program then starts it with sc, the package with its service table.
SC_STEPS = ["privs ZelmoraClock SeSystemtimePrivilege", "sidtype ZelmoraClock unrestricted",
            "failure ZelmoraClock reset= 86400 actions= restart/60000/restart/60000/restart/60000",
            "failureflag ZelmoraClock 1", "start ZelmoraClock"]
PACKAGE_SC_STEPS = SC_STEPS[:-1]
RUNNING, STOPPED, AUTO_START, DISABLED, OWN_PROCESS, MESSAGE_PIPE = 4, 1, 2, 4, 0x10, 4
# The setup program's and uninstaller's exit codes: the service disabled, or not even that.
SERVICE_NOT_REMOVED, SERVICE_NOT_DISABLED = 4, 5
REG_EXPAND_SZ = 2
OUTCOME_SET, OUTCOME_CANNOT_GET, OUTCOME_CANNOT_SET, OUTCOME_BUSY, OUTCOME_NEEDS_HTTPS = range(1, 6)
WINE_INVALID_LEVEL = "error 124"
NOT_INSTALLED = {"installed": False, "error": "error 1060"}
NOTHING_INSTALLED = (None, False, None, NOT_INSTALLED)  # files, shortcut, entry, service
# The program's own download and set, then the service's answer (tests/README.md).
SYNCHRONIZE_BOUND = 15
# The service fetches at most once in this many seconds (and a margin).
SERVICE_FETCH_INTERVAL = 11


def access(sddl: str) -> tuple:
    """An access list's meaning: whether it is protected, and its entries in order as (type,
    flags, rights as a number, whom), however the system spells them."""
    entries = [ace.split(";") for ace in re.findall(r"\(([^)]*)\)", sddl)]
    return sddl.startswith("D:P"), [
        (kind, flags, RIGHTS.get(rights) or int(rights, 16), ALIASES.get(sid, sid))
        for kind, flags, rights, _, _, sid in entries]


def off_then_live(status: int = 200, offset: float = 0, header: Optional[str] = None) -> dict:
    """The first page 5 s off (the program's own set, which Wine refuses), then the time
    offset seconds off, answered with status; with header, every page says its time precisely
    offset seconds off (so the first one's header contradicts its body and is not believed)."""
    served = []

    def body():
        served.append(time.time())
        return page_with_time(5 if len(served) == 1 else offset)
    # Only the service's request gets status: a redirect's page would give a good time.
    return dict(body=body, status=lambda: status if len(served) == 2 else 200,
                clock_header=header, clock_offset=offset)


EVENT_LOG = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Zelmora"
EVENT_SOURCE = EVENT_LOG + r"\ZelmoraClock"
# Only SYSTEM and the service write its log; Administrators read and clear it, Event Log
# Readers read it.
EVENT_LOG_SD = ("O:BAG:SYD:(A;;0xf0007;;;SY)(A;;0x3;;;" + SERVICE_SID + ")(A;;0x5;;;BA)"
                "(A;;0x1;;;S-1-5-32-573)")
EVENT_CALL = re.compile(r"^[0-9a-f]+:fixme:advapi:ReportEventW \(([^)]*)\)")
EVENT_LINE = re.compile(r'^[0-9a-f]+:(trace|warn|err):eventlog:ReportEventW L"(.*)"$')
# (type, id) of each record: information 4, warning 2, error 1; the id's top two bits repeat
# the severity.
SET, WITHIN_BOUND, JOINED = (4, 0x40000001), (4, 0x40000004), (4, 0x40000005)
REFUSED, NOT_SET = (2, 0x80000002), (1, 0xC0000003)


def service_records(s) -> list:
    """The service's records in its log, as (kind, inserts, (type, id)), oldest first."""
    records = []
    for path in sorted(s.workdir.glob("*.log")):
        for line in path.read_text(errors="replace").splitlines():
            if m := EVENT_CALL.match(line):
                fields = m.group(1).split(",")
                records.append((None, [], (int(fields[1], 16), int(fields[3], 16))))
            elif (m := EVENT_LINE.match(line)) and records:
                records[-1] = (m.group(1), records[-1][1] + [m.group(2)], records[-1][2])
    return records


def folder_files(s, folder: str) -> Optional[list]:
    """The names in a folder, or None where there is no folder: an empty one left behind is
    something installed."""
    path = s.unix_path(folder)
    return sorted(p.name for p in path.iterdir()) if path.exists() else None


def put_sc_stand_in(s):
    """zservice.exe in sc.exe's place, which it passes what Wine's can do (sc-wine.exe)."""
    sysdir = s.unix_path(SYSDIR)
    shutil.copy2(sysdir / "sc.exe", sysdir / "sc-wine.exe")
    shutil.copy2(ZSERVICE, sysdir / "sc.exe")


class Installed(SessionTestCase):
    """The setup program of the class's build run with /S, then the installed program."""
    setup = HTTP_SETUP
    install_dir = INSTALL_DIR
    by_package = False  # installed by its Windows Installer package, else by its setup program

    @classmethod
    def setUpClass(cls):
        if cls.setup == HTTPS_SETUP:
            trust_test_authority(cls)
        # The service's records, and their types and ids.
        os.environ["ZELMORA_E2E_WINEDEBUG"] = "-all,+eventlog,fixme+advapi"
        cls.session_options = {"start_program": False, "files": {
            SETUP_COPY: cls.setup.read_bytes(), ZSERVICE_COPY: ZSERVICE.read_bytes(),
            SERVICE_COPY: HTTP_SERVICE.read_bytes(),
            MSI_COPY: (cls.setup.parent / MSI_NAME).read_bytes()}}
        super().setUpClass()
        s = cls.s
        # Keeps Wine up between the programs: the service alone would not.
        s.keeper = subprocess.Popen(s.target.wine.command("wineserver", "-p"), env=s.env)
        s.keeper.wait(30)
        put_sc_stand_in(s)
        if (code := cls.install()) != 0:
            raise AssertionError(f"the setup program ended with {code}")
        s.program_dir = cls.install_dir
        s.start_program()

    @classmethod
    def install(cls) -> int:
        return cls.msiexec("/i", MSI_COPY) if cls.by_package else cls.run_setup()

    @classmethod
    def run_setup(cls) -> int:
        folder = [] if cls.install_dir == INSTALL_DIR else ["/D=" + cls.install_dir]
        return cls.s.spawn(SETUP_COPY, "/S", *folder, log_path=cls.s.workdir / "installer.log",
                           cwd=cls.s.unix_path("C:\\"), what="the setup program",
                           wait=slower(120))[1]

    @classmethod
    def exit_code(cls, command_line: str) -> int:
        """A command line's whole exit code, which cmd keeps and a Unix exit status cuts to 8
        bits; as written (NSIS takes _?= only unquoted)."""
        cls.s.unix_path(RUN_BAT).write_text(f"@{command_line}\r\n@echo exit=%errorlevel%\r\n")
        out = cls.s.wine(RUN_BAT, timeout=slower(300), check=False).stdout
        return int(re.findall(r"exit=(\d+)", out)[-1])

    @classmethod
    def msiexec(cls, *args) -> int:
        """Run silently with a log, as a deployment tool runs it."""
        return cls.exit_code(" ".join(["msiexec", *args, "/qn", "/l*v", MSI_LOG]))

    def shortcut(self) -> bool:
        return any(path for folder in SHORTCUT_FOLDERS for path in self.s.unix_path("C:\\").glob(
            (folder[3:] + "\\" + SHORTCUT).replace("\\", "/")))

    def files(self, folder: str = INSTALL_DIR) -> Optional[list]:
        return folder_files(self.s, folder)

    def sc_steps(self) -> list:
        """The installers' steps that the sc stand-in was asked for, in order."""
        return [step for step in map(str.strip, self.s.unix_path(SC_LOG).read_text().splitlines())
                if step in SC_STEPS]

    def upgrade_replaces_the_service(self):
        """Installed again over the running service: its exe replaced, run by a new process."""
        installed = self.s.unix_path(INSTALL_DIR + r"\ZelmoraService.exe")
        before = self.service_state(RUNNING)["pid"]
        with installed.open("ab") as exe:  # marked: the upgrade must replace it
            exe.write(b"old")
        self.assertEqual(self.install(), 0)  # stops the service and waits for its process
        self.assertNotEqual(self.service_state(RUNNING)["pid"], before, "the service's process id")
        self.assertEqual(installed.read_bytes(), HTTPS_SERVICE.read_bytes(), "the service exe")

    def zservice(self, *args, timeout: float = 120) -> dict:
        return last_json(self.s.wine(ZSERVICE_COPY, *args, timeout=timeout).stdout, args[0])

    def zservice_started(self, *args) -> subprocess.Popen:
        return subprocess.Popen(self.s.target.wine.command("wine", ZSERVICE_COPY, *args),
                                env=self.s.env, stdout=subprocess.PIPE, text=True)

    def assert_synchronize(self, final, requests: int = 2, service_status: int = 200,
                           service_offset: float = 0, header: Optional[str] = None,
                           headers: Optional[dict] = None) -> list:
        """Synchronize against a page 5 s off (the program's own set, which Wine refuses), then
        the time service_offset off, answered to the service with service_status: the final
        text (UPDATED, a pattern), and the page's requests (the program's, then the
        service's); returns the service's records of it."""
        recorded = len(service_records(self.s))
        self.s.server.reset()
        self.s.server.configure(**off_then_live(service_status, service_offset, header),
                                headers=headers or {}, align_to_second=True)
        operation = self.s.operate(CMD_SYNCHRONIZE, timeout=90)
        if final is UPDATED:
            self.assertRegex(operation.final, UPDATED, operation.statuses)
        else:
            self.assertEqual(operation.final, final, operation.statuses)
        self.assertLess(operation.seconds, SYNCHRONIZE_BOUND)
        self.assertEqual(len(self.s.server.requests), requests, "requests for the page")
        return service_records(self.s)[recorded:]

    def service_state(self, state: int) -> dict:
        """The service's registration once it is in state."""
        return self.s.wait_for(lambda: (c := self.zservice("config")).get("state") == state and c,
                               30, message=f"the service's state {state}")

    def set_service(self, running: bool):
        self.s.wine("sc", "start" if running else "stop", "ZelmoraClock")
        self.service_state(RUNNING if running else STOPPED)


class HttpBuild(Installed):
    """A build for an http:// page, which anyone on the path can forge: no service. Installed
    into a folder of the system drive, where users may write by inheritance on Windows."""
    install_dir = r"C:\Zelmora"

    def test_1_installs_no_service_and_cannot_set(self):
        self.assertEqual(self.zservice("config"), NOT_INSTALLED)
        self.assertFalse(self.s.unix_path(self.install_dir + r"\ZelmoraService.exe").exists())
        self.assert_synchronize(CANNOT_SET, requests=1)

    def test_2_its_service_registered_by_hand_never_fetches(self):
        self.s.wine("sc", "create", "ZelmoraClock", "binPath=", SERVICE_COPY, "obj=",
                    r"NT AUTHORITY\LocalService")
        self.s.wine("sc", "start", "ZelmoraClock")
        self.s.server.reset()
        answer = self.zservice("ask")
        self.assertEqual((answer["answered"], answer["outcome"]), (True, OUTCOME_NEEDS_HTTPS))
        self.assertLess(answer["ms"], 2000)
        self.assertEqual([(event, inserts[0].startswith("the page's address is not https://"))
                          for _, inserts, event in service_records(self.s)], [(REFUSED, True)],
                         "the refusal's record")
        self.assert_synchronize(CANNOT_SET, requests=1)

    def test_3_the_folder_only_administrators_may_change(self):
        self.s.unix_path(r"C:\probe-folder").mkdir()
        probe = "D:P(A;OICI;FA;;;BA)"
        if access(self.zservice("dacl", r"C:\probe-folder", probe)["sddl"]) != access(probe):
            self.skipTest("this Wine keeps no access list on a folder")
        self.assertEqual(access(self.zservice("dacl", self.install_dir)["sddl"]), FOLDER_ACCESS)

    def test_4_its_package_refused_over_it_then_installs_no_service(self):
        setup_installation = ["Zelmora.exe", "readme.txt", "uninstall.exe"]
        self.assertIn(self.msiexec("/i", MSI_COPY), INSTALLATION_FAILED)
        # The first step that did not succeed (Windows says 3, Wine 0, and logs no message).
        steps = re.findall(r"Action ended [\d:]+: (\w+)\. Return value (\d)\.",
                           self.s.unix_path(MSI_LOG).read_text(errors="replace"))
        self.assertEqual(next(step for step, value in steps if value != "1"), "LaunchConditions",
                         steps)
        self.assertEqual((self.files(self.install_dir), self.files(),
                          reg_values(self.s, NSIS_ENTRY)["DisplayName"]),
                         (setup_installation, None, sz("Orva Zelmora")),
                         "the setup program's installation, untouched; nothing of the package")
        self.s.wine(self.install_dir + r"\uninstall.exe", "/S", "_?=" + self.install_dir)
        self.assertEqual(self.msiexec("/i", MSI_COPY), 0)
        self.assertEqual((self.files(), self.zservice("config")),
                         (["Zelmora.exe", "readme.txt"], NOT_INSTALLED))


class ClockService(Installed):
    """A build for an https:// page: the service installed and asked."""
    setup = HTTPS_SETUP

    def test_1_registered_as_asked_and_running(self):
        config = self.zservice("config")
        self.assertEqual({key: config[key] for key in ("image", "account", "type", "start",
                                                       "state")},
                         {"image": f'"{INSTALL_DIR}\\ZelmoraService.exe"',
                          "account": "NT AUTHORITY\\LocalService", "type": OWN_PROCESS,
                          "start": AUTO_START, "state": RUNNING})
        self.assertEqual(self.sc_steps(), SC_STEPS)
        self.assertEqual(reg_values(self.s, EVENT_SOURCE), {
            "EventMessageFile": (REG_EXPAND_SZ, f"{INSTALL_DIR}\\ZelmoraService.exe\0".encode(
                "utf-16-le")),
            "TypesSupported": (REG_DWORD, struct.pack("<I", 7))}, "the records' source")
        self.assertEqual(reg_value(self.s, EVENT_LOG, "CustomSD"), sz(EVENT_LOG_SD))

    def test_1_keeps_its_least_privilege_settings(self):
        config = self.zservice("config")
        expected = {"privileges": ["SeSystemtimePrivilege"], "failure_flag": 1, "sid_type": 1,
                    "failure": {"reset": 86400, "actions": [[1, 60000]] * 3}}
        for key, value in expected.items():
            with self.subTest(key):
                if config[key] == WINE_INVALID_LEVEL:
                    self.skipTest(f"this service manager keeps no {key} (Wine)")
                self.assertEqual(config[key], value)

    def test_2_synchronize_through_the_service(self):
        page = f"https://localhost:{self.s.server.port}/cgi-bin/timer.pl"
        cases = [
            # Only a 200 answer is the page, whatever time an error page shows; a redirect
            # (to a page that would give a good time) is not followed.
            (404, 0, CANNOT_GET, REFUSED, None), (500, 0, CANNOT_GET, REFUSED, None),
            (302, 0, CANNOT_GET, REFUSED, None),
            # Wine sets no clock 5 s off: the system's refusal is recorded as an error.
            (200, 5, CANNOT_SET, NOT_SET, None),
            # A right clock: left within the plain page's bound; 0.3 s off by a precise page:
            # set (Wine lets a step under half a second pass), the offset to within the target.
            (200, 0, UPDATED, WITHIN_BOUND, None),
            (200, 0.3, UPDATED, SET, "both"),
        ]
        for status, offset, final, event, header in cases:
            with self.subTest(status=status, offset=offset, header=header):
                time.sleep(SERVICE_FETCH_INTERVAL)
                records = self.assert_synchronize(
                    final, service_status=status, service_offset=offset, header=header,
                    headers={"Location": page + "?moved"} if status == 302 else {})
                self.assertEqual([e for _, _, e in records], [event], "the Synchronize's record")
                kind, inserts, _ = records[0]
                page_at, process_at = (3, 6) if kind == "trace" else (1, 4)
                self.assertEqual((inserts[page_at], inserts[process_at]),
                                 (page, str(self.s.dump()["pid"])), inserts)
                if kind == "err":
                    self.assertTrue(inserts[5].endswith("(error 1314)"), inserts)
                if kind == "trace":
                    start, end = (time.mktime(time.strptime(t, "%Y-%m-%d %H:%M:%S"))
                                  for t in inserts[:2])
                    self.assertLess(abs(end - time.mktime(time.gmtime())), 10, inserts)
                    self.assertEqual(int(inserts[2]), end - start, inserts)
                    self.assertTrue(inserts[4].startswith("S-1-5-21-"), inserts)
                    # The estimate: within its bound of the page's true offset, and as tight
                    # as the page allows (10 ms for a precise one through the service).
                    found, bound = float(inserts[7]), float(inserts[8])
                    self.assertLessEqual(abs(found - offset * 1000), bound, inserts)
                    self.assertLess(bound, slower(10) if header else 1100, inserts)
                    if not header:
                        self.assertEqual(inserts[0], inserts[1], "a right clock left as it was")

    def test_2a_a_trickling_answer_holds_no_one_past_the_fetch_limit(self):
        """A head trickled in a byte a second would hold the fetch, and everyone's requests, for
        minutes (Wine's WinHTTP reads on after its request is closed: the next one is served)."""
        time.sleep(SERVICE_FETCH_INTERVAL)
        self.s.server.reset()
        self.addCleanup(self.s.server.reset)
        self.s.server.configure(mode=DRIP_HEAD, drip_interval=1)
        answers = []
        for name, outcomes in (("the trickled fetch", (OUTCOME_CANNOT_GET, OUTCOME_BUSY)),
                               ("the next request, once its 40 s are up", (OUTCOME_SET,))):
            with self.subTest(name):
                answers.append(self.zservice("ask"))
                self.assertIn(answers[-1]["outcome"], outcomes, answers)
                self.s.server.configure()  # the trickle goes on; the next fetch gets a page
                time.sleep(3)  # the service lets a fetch go 2 s after its askers had "busy"

    def test_2b_who_asked_is_on_the_record(self):
        """A request that joins a running fetch is recorded as such; a client that allows no
        identification is refused, with its process id."""
        with self.subTest("joined"):
            time.sleep(SERVICE_FETCH_INTERVAL)
            recorded = len(service_records(self.s))
            self.s.server.reset()
            self.s.server.configure(delay=8)  # under the service's 10 s step time-out
            first = self.zservice_started("ask")
            self.s.server.wait_for_requests(1, slower(30))
            second = self.zservice_started("ask")
            answers = [last_json(p.communicate(timeout=90)[0], "ask") for p in (first, second)]
            self.assertEqual([(a["answered"], a["outcome"]) for a in answers],
                             [(True, OUTCOME_SET)] * 2, answers)
            self.assertEqual(len(self.s.server.requests), 1, "one fetch for both")
            records = service_records(self.s)[recorded:]
            self.assertEqual([e for _, _, e in records], [JOINED, WITHIN_BOUND], records)
            joined, started = records[0][1], records[1][1]
            self.assertEqual(joined[4], started[6], "the joined fetch's asker")
            self.assertNotEqual(joined[3], started[6], records)
            self.assertTrue(joined[1].startswith("S-1-5-21-"), joined)
        with self.subTest("identity unreadable"):
            time.sleep(SERVICE_FETCH_INTERVAL)
            recorded = len(service_records(self.s))
            self.s.server.reset()
            answer = self.zservice("ask-anonymous")
            records = service_records(self.s)[recorded:]
            if self.s.server.requests and answer["outcome"] != OUTCOME_CANNOT_SET:
                self.skipTest("this Wine gives the service an anonymous client's identity")
            self.assertEqual((answer["answered"], answer["outcome"]), (True, OUTCOME_CANNOT_SET))
            self.assertEqual([(e, inserts[2], inserts[4]) for _, inserts, e in records],
                             [(REFUSED, "(unknown)", str(answer["pid"]))], records)
            self.assertEqual(self.s.server.requests, [], "no fetch for it")

    def test_3_hostile_clients(self):
        self.s.server.reset()
        started = time.monotonic()
        counts = {"idle": 12, "garbage": 30, "oversized": 30, "empty": 30, "valid": 100}
        attacks = {kind: self.zservice_started("hostile", kind, str(count))
                   for kind, count in counts.items()}
        time.sleep(1)
        answers = [self.zservice("ask") for _ in range(3)]
        connected = {kind: last_json(attack.communicate(timeout=120)[0], kind)["connected"]
                     for kind, attack in attacks.items()}
        seconds = time.monotonic() - started
        self.assertEqual(connected, counts)
        self.assertEqual([(a["answered"], a["outcome"]) for a in answers],
                         [(True, OUTCOME_SET)] * 3, answers)
        self.assertLess(max(a["ms"] for a in answers), 10000, answers)
        # One fetch per 10 s at most, from the first one on.
        self.assertLessEqual(len(self.s.server.requests), 1 + int(seconds // 10), seconds)
        pipe = self.zservice("pipe")
        self.assertEqual(access(pipe.pop("sddl")), PIPE_ACCESS)
        self.assertEqual(pipe["owner"], SERVICE_SID, "the pipe's owner")
        self.assertEqual({key: pipe[key] for key in ("flags", "out", "in", "instances")},
                         {"flags": MESSAGE_PIPE, "out": 8, "in": 8, "instances": 8})
        self.assertEqual(pipe["server_pid"], self.zservice("config")["pid"])

    def test_3b_through_the_machines_proxy(self):
        """The service has no user's settings: it takes the machine's WinHTTP proxy."""
        def use(address):
            self.assertEqual(self.zservice("winhttp-proxy", address or "none"), {"set": True})

        def check(proxy, final, requests, by_proxy):
            time.sleep(SERVICE_FETCH_INTERVAL)
            self.assert_synchronize(final, requests)
            if by_proxy:  # a stopped proxy logs nothing more
                self.assertEqual(proxy.requests(), by_proxy, "the service's request, by the proxy")
        connect = f"CONNECT localhost:{self.s.server.port}"
        # (name, proxy up, outcome, requests for the page, requests the proxy was asked)
        self.through_proxy(use, (("the proxy up", True, UPDATED, 2, [connect]),
                                 ("the proxy down", False, CANNOT_GET, 1, None)), check)

    def test_4_an_impostor_on_its_pipe_is_never_asked(self):
        cases = [
            # (name, whether the service runs, clients the impostor must have met)
            ("the service stopped: the program does not open the pipe", False, 0),
            # Wine lets a second process serve the name (its access list is not enforced),
            # and hands a client the instance that has listened longest: the impostor's.
            ("the service running, the impostor's instance first in line", True, 1),
        ]
        for name, running, met in cases:
            with self.subTest(name):
                self.set_service(running=False)
                impostor = self.zservice_started("impostor", "40")
                self.addCleanup(impostor.kill)
                ready = select.select([impostor.stdout], [], [], slower(30))[0]
                self.assertEqual(json.loads(impostor.stdout.readline() if ready else "{}"),
                                 {"listening": True}, "the impostor before Synchronize")
                if running:
                    self.set_service(running=True)
                self.assert_synchronize(CANNOT_SET, requests=1)
                ended = last_json(impostor.communicate(timeout=90)[0], "impostor")
                self.assertEqual((min(ended["connected"], 1), ended["asked"]), (met, 0), ended)
                if not running:
                    self.set_service(running=True)

    def test_7_a_service_that_cannot_be_deleted_is_disabled_and_nothing_else_changes(self):
        """Each row from a running service that starts with Windows."""
        self.s.unix_path(SC_FAIL).write_text("")
        self.assertEqual(self.install(), 0)
        installed = self.files()
        # Moving the installation deletes its service before its old folder goes; the
        # uninstaller runs in place (_?=), so that its exit code is its own.
        move, moved = rf"{SETUP_COPY} /S /D=C:\Moved", r"C:\Moved"
        uninstall = f'"{INSTALL_DIR}\\uninstall.exe" /S _?={INSTALL_DIR}'
        # (name, command, the sc commands that fail, exit code, the service's start after, the
        # folder that then holds the installation)
        for name, command, failing, code, start, folder in (
                ("moving it", move, "delete", SERVICE_NOT_REMOVED, DISABLED, INSTALL_DIR),
                ("uninstalling it", uninstall, "delete", SERVICE_NOT_REMOVED, DISABLED,
                 INSTALL_DIR),
                ("uninstalling it, not even disabled", uninstall, "delete config",
                 SERVICE_NOT_DISABLED, AUTO_START, INSTALL_DIR),
                ("moving it, nothing failing", move, "", 0, AUTO_START, moved)):
            with self.subTest(name):
                self.s.unix_path(SC_FAIL).write_text("")
                self.s.wine(SYSDIR + r"\sc.exe", "config", "ZelmoraClock", "start=", "auto")
                if self.zservice("config")["state"] != RUNNING:
                    self.set_service(running=True)
                self.s.unix_path(SC_FAIL).write_text(failing)
                self.assertEqual(self.exit_code(command), code)
                config = self.zservice("config")
                self.assertEqual((config["start"], config["image"]),
                                 (start, f'"{folder}\\ZelmoraService.exe"'))
                self.assertEqual({f: self.files(f) for f in (INSTALL_DIR, moved)},
                                 {f: installed if f == folder else None
                                  for f in (INSTALL_DIR, moved)}, "the installation's folders")

    def test_5_uninstall_removes_it(self):
        self.s.wine(INSTALL_DIR + r"\uninstall.exe", "/S")
        self.s.wait_for(lambda: not self.s.unix_path(INSTALL_DIR).exists(), 60,
                        message="the uninstaller to remove the installation")
        self.assertEqual(self.zservice("config"), NOT_INSTALLED)
        self.assertIsNone(program_pid(self.s.prefix, "ZelmoraService.exe"))
        self.assertIsNone(reg_values(self.s, EVENT_LOG), "the records' log")

    def test_6_upgrade_over_the_running_service_then_a_failed_sc_step_removes_it(self):
        self.assertEqual(self.install(), 0)  # again, after the uninstall
        self.upgrade_replaces_the_service()
        # The last: sc start says it started a service that never runs (30 s).
        for step in ("privs", "sidtype", "failure", "failureflag", "ignore-start"):
            with self.subTest(step):
                self.s.unix_path(SC_FAIL).write_text(step)
                self.assertEqual(self.install(), 3)
                self.assertEqual(self.zservice("config"), NOT_INSTALLED)
                self.assertEqual(self.files(), ["Zelmora.exe", "readme.txt", "uninstall.exe"])


class WindowsInstallerPackage(Installed):
    """The https build's package, installed as Group Policy or Intune install it: msiexec /qn."""
    setup = HTTPS_SETUP
    by_package = True

    def package(self, table: str) -> dict:
        """The built package's table, read back with msitools: {first column: the others}."""
        rows = subprocess.run(["msiinfo", "export", str(self.setup.parent / MSI_NAME), table],
                              check=True, capture_output=True, text=True).stdout.splitlines()[3:]
        return {row.split("\t")[0]: row.split("\t")[1:] for row in rows}

    def entry(self) -> dict:
        code = self.package("Property")["ProductCode"][0]
        return reg_values(self.s, rf"{UNINSTALL_KEY}\{code}")

    def installation(self) -> tuple:
        """Its files, Start menu entry, installed-apps entry and service."""
        return self.files(), self.shortcut(), self.entry(), self.zservice("config")

    def test_1_installed_as_the_setup_program_installs_it(self):
        self.assertEqual((self.files(), self.shortcut()),
                         (["Zelmora.exe", "ZelmoraService.exe", "readme.txt"], True))
        self.assertEqual({name: plain(self.entry()[name]) for name in ("DisplayName", "Publisher")},
                         {"DisplayName": "Orva Zelmora", "Publisher": "Orva"}, "installed apps")
        config = self.zservice("config")
        exe = INSTALL_DIR + "\\ZelmoraService.exe"
        self.assertEqual(config["image"], f'"{exe}"')
        self.assertEqual({key: config[key] for key in ("account", "type", "start", "state")},
                         {"account": "NT AUTHORITY\\LocalService", "type": OWN_PROCESS,
                          "start": AUTO_START, "state": RUNNING})
        self.assertEqual(self.sc_steps(), PACKAGE_SC_STEPS)
        row = self.package("ServiceInstall")["ClockService"]
        self.assertEqual(row[:1] + row[2:8], ["ZelmoraClock", str(OWN_PROCESS), str(AUTO_START),
                                              "1", "", "", "NT AUTHORITY\\LocalService"],
                         "the package's service table")
        # An older version goes inside this package's transaction, before the folder's step;
        # a user who is no administrator cannot choose the folder of an elevated installation.
        order = {name: int(row[-1]) for name, row in self.package("InstallExecuteSequence").items()}
        self.assertLess(order["InstallInitialize"], order["RemoveExistingProducts"])
        self.assertLess(order["RemoveExistingProducts"], order["PrepareFolder"])
        self.assertEqual(self.package("Property")["SecureCustomProperties"],
                         ["ZELMORA_INSTALLED;ZELMORA_NEWER_INSTALLED"])
        self.assertEqual(plain(reg_values(self.s, EVENT_SOURCE)["EventMessageFile"]), exe)
        self.assertEqual(reg_value(self.s, EVENT_LOG, "CustomSD"), sz(EVENT_LOG_SD))
        self.assert_synchronize(UPDATED)

    def test_2_the_setup_program_refuses_to_install_over_it(self):
        before = self.zservice("config")["pid"]
        self.assertEqual(self.exit_code(SETUP_COPY + " /S"), PACKAGE_REFUSED)
        self.assertEqual((self.files(), reg_values(self.s, NSIS_ENTRY),
                          self.zservice("config")["pid"]),
                         (["Zelmora.exe", "ZelmoraService.exe", "readme.txt"], None, before))

    def test_3_an_earlier_package_upgraded_keeps_settings_and_replaces_the_service(self):
        code = self.package("Property")["ProductCode"][0]
        end_program(self.s)  # as Windows Installer's Restart Manager would
        self.assertEqual(self.msiexec("/x", code), 0)
        self.s.reg_add(SETTINGS_KEY, "Interval", "45")
        self.s.reg_add(RUN_KEY, "OtherProgram", r"C:\Other\other.exe")
        own = f'"{INSTALL_DIR}\\Zelmora.exe"'  # the program's autorun value
        version = self.package("Property")["ProductVersion"][0]
        guid = lambda: "{" + str(uuid.uuid4()).upper() + "}"  # noqa: E731
        # An older version; this version built for another address. Each has its own version,
        # product code and package code. The removal an upgrade makes is then tried by hand
        # too, as Windows Installer makes it, naming the product that upgrades.
        removals = ([], ["UPGRADINGPRODUCTCODE=" + guid()])
        for earlier, removal in zip(("0.9.1", version), removals):
            with self.subTest(earlier):
                old = self.s.unix_path(OLD_MSI_COPY)
                shutil.copy(self.s.unix_path(MSI_COPY), old)
                update = "UPDATE Property SET Value='{}' WHERE Property='{}'".format
                subprocess.run(["msibuild", str(old), "-q", update(earlier, "ProductVersion"),
                                "-q", update(guid(), "ProductCode"), "-s",
                                "Installation Database", "Orva", "Intel;1033", guid()], check=True)
                self.assertEqual(self.msiexec("/i", OLD_MSI_COPY), 0)
                self.s.reg_add(RUN_KEY, RUN_VALUE, own)
                self.upgrade_replaces_the_service()
                self.assertIsNotNone(self.entry(), "this version's installed-apps entry")
                self.assertEqual(reg_value(self.s, SETTINGS_KEY, "Interval"), sz("45"))
                with self.subTest("the autorun value kept by the upgrade"):
                    if reg_value(self.s, RUN_KEY, RUN_VALUE) is None:
                        self.skipTest("this msi removes the upgraded package without "
                                      "UPGRADINGPRODUCTCODE (the removal by hand shows the rest)")
                    self.assertEqual(reg_value(self.s, RUN_KEY, RUN_VALUE), sz(own))
                # Uninstalled, all goes but the settings and other programs' autorun values;
                # removed for an upgrade, the autorun value stays too.
                self.s.reg_add(RUN_KEY, RUN_VALUE, own)
                self.assertEqual(self.msiexec("/x", code, *removal), 0)
                self.assertEqual((*self.installation(), reg_values(self.s, EVENT_LOG)),
                                 (*NOTHING_INSTALLED, None))
                self.assertEqual(reg_value(self.s, SETTINGS_KEY, "Interval"), sz("45"))
                self.assertEqual(reg_values(self.s, RUN_KEY),
                                 {"OtherProgram": sz(r"C:\Other\other.exe")} |
                                 ({RUN_VALUE: sz(own)} if removal else {}))

    def test_4_a_failed_step_rolls_it_all_back(self):
        crowded = self.s.unix_path(r"C:\Crowded")
        crowded.mkdir()
        (crowded / "notes.txt").write_text("mine")
        # (the sc step made to fail, or the install folder: one that holds other files)
        for step, folder in (("privs", None), ("sidtype", None), ("failure", None),
                             ("failureflag", None), ("", r"C:\Crowded")):
            with self.subTest(step or folder):
                self.s.unix_path(SC_FAIL).write_text(step)
                installdir = [f"INSTALLDIR={folder}"] if folder else []
                self.assertIn(self.msiexec("/i", MSI_COPY, *installdir), INSTALLATION_FAILED)
                self.assertEqual(sorted(p.name for p in crowded.iterdir()), ["notes.txt"])
                self.assertEqual(self.installation(), NOTHING_INSTALLED)

    def test_5_a_file_planted_in_its_folder_goes_whatever_its_version(self):
        self.skipTest("Windows Installer keeps an existing versioned file over the package's "
                      "unversioned one, and Wine's overwrites it, so the folder step's removal of "
                      "a planted file cannot be told apart here")

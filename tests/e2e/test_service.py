"""The clock service, installed by the setup program as an administrator's script installs it,
and asked by the program when Wine refuses the program's own set (as Windows refuses an
ordinary user's). Wine's limits, and how each is handled:
- Its service manager keeps no required privileges and no recovery actions: querying them
  answers ERROR_INVALID_LEVEL (124), and that check is skipped, never passed.
- PIPE_REJECT_REMOTE_CLIENTS and FILE_FLAG_FIRST_PIPE_INSTANCE are not enforced, and every
  process holds an administrator's token: the pipe's access list is read back as the service
  set it, not tried out with another user.
- The wineserver ends with the last ordinary process and takes the service with it: the
  session keeps it up with `wineserver -p`.
"""

import subprocess
import time

from harness import (CANNOT_SET, CMD_SYNCHRONIZE, FACTS, UPDATED, SessionTestCase, build_dir,
                     env_path, last_json, program_pid, target)
from timeserver import page_with_time

ARCH = target().arch
FOLDER = {"i686": "i686-e2e"}.get(ARCH, ARCH)
SETUP = env_path("ZELMORA_SERVICE_SETUP", build_dir() / FOLDER /
                 f"Zelmora-{FACTS['versionText']}-setup.exe")
ZSERVICE = env_path("ZELMORA_ZSERVICE", build_dir() / FOLDER / "zservice.exe")
SETUP_COPY, ZSERVICE_COPY = r"C:\Downloads\Zelmora-setup.exe", r"C:\zprobe\zservice.exe"
INSTALL_DIR = r"C:\Program Files (x86)\Zelmora"
SDDL = "D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;LS)(A;;0x12019b;;;IU)"
RUNNING, STOPPED, AUTO_START, OWN_PROCESS, MESSAGE_PIPE = 4, 1, 2, 0x10, 4
OUTCOME_SET = 1
WINE_INVALID_LEVEL = "error 124"
# The program's own download and set, then the service's answer (tests/README.md).
SYNCHRONIZE_BOUND = 15


def off_then_live():
    """The first page 5 s off (the program's own set, which Wine refuses), then the time."""
    served = []

    def body():
        served.append(time.time())
        return page_with_time(5 if len(served) == 1 else 0)
    return body


class ClockService(SessionTestCase):
    session_options = {"start_program": False,
                       "files": {SETUP_COPY: SETUP.read_bytes(), ZSERVICE_COPY: ZSERVICE.read_bytes()}}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        s = cls.s
        # Keeps Wine up between the programs: the service alone would not.
        s.keeper = subprocess.Popen(s.target.wine.command("wineserver", "-p"), env=s.env)
        s.keeper.wait(30)
        _, code, _ = s.spawn(SETUP_COPY, "/S", log_path=s.workdir / "installer.log",
                             cwd=s.unix_path("C:\\"), what="the setup program", wait=120)
        if code != 0:
            raise AssertionError(f"the setup program ended with {code}")
        s.program_dir = INSTALL_DIR
        s.start_program()

    def zservice(self, *args, timeout: float = 120) -> dict:
        return last_json(self.s.wine(ZSERVICE_COPY, *args, timeout=timeout).stdout, args[0])

    def synchronize(self, body) -> tuple:
        self.s.server.reset()
        self.s.server.configure(body=body, align_to_second=True)
        operation = self.s.operate(CMD_SYNCHRONIZE, timeout=90)
        return operation, len(self.s.server.requests)

    def test_1_registered_as_asked_and_running(self):
        config = self.zservice("config")
        self.assertEqual({key: config[key] for key in ("image", "account", "type", "start",
                                                       "state")},
                         {"image": f'"{INSTALL_DIR}\\ZelmoraService.exe"',
                          "account": "NT AUTHORITY\\LocalService", "type": OWN_PROCESS,
                          "start": AUTO_START, "state": RUNNING})
        expected = {"privileges": ["SeSystemtimePrivilege"], "failure_flag": 1,
                    "failure": {"reset": 86400, "actions": [[1, 60000]] * 3}}
        for key, value in expected.items():
            with self.subTest(key):
                if config[key] == WINE_INVALID_LEVEL:
                    self.skipTest(f"this service manager keeps no {key} (Wine)")
                self.assertEqual(config[key], value)

    def test_2_synchronize_through_the_service(self):
        operation, requests = self.synchronize(off_then_live())
        self.assertRegex(operation.final, UPDATED, operation.statuses)
        self.assertLess(operation.seconds, SYNCHRONIZE_BOUND)
        self.assertEqual(requests, 2, "the program's request, then the service's")

    def test_3_hostile_clients(self):
        self.s.server.reset()
        started = time.monotonic()
        attacks = [subprocess.Popen(self.s.target.wine.command("wine", ZSERVICE_COPY, "hostile",
                                                               kind, str(count)),
                                    env=self.s.env, stdout=subprocess.DEVNULL)
                   for kind, count in (("idle", 6), ("garbage", 30), ("oversized", 30),
                                       ("empty", 30), ("valid", 100))]
        time.sleep(1)
        answers = [self.zservice("ask") for _ in range(3)]
        for attack in attacks:
            attack.wait(120)
        seconds = time.monotonic() - started
        self.assertEqual([(a["answered"], a["outcome"]) for a in answers],
                         [(True, OUTCOME_SET)] * 3, answers)
        self.assertLess(max(a["ms"] for a in answers), 10000, answers)
        # One fetch per 10 s at most, from the first one on.
        self.assertLessEqual(len(self.s.server.requests), 1 + int(seconds // 10), seconds)
        pipe = self.zservice("pipe")
        self.assertEqual({key: pipe[key] for key in ("sddl", "flags", "out", "in", "instances")},
                         {"sddl": SDDL, "flags": MESSAGE_PIPE, "out": 8, "in": 8,
                          "instances": 8})
        self.assertEqual(pipe["server_pid"], self.zservice("config")["pid"])

    def test_4_service_stopped(self):
        self.s.wine("sc", "stop", "ZelmoraClock")
        self.s.wait_for(lambda: self.zservice("config")["state"] == STOPPED, 30,
                        message="the service to stop")
        operation, requests = self.synchronize(off_then_live())
        self.assertEqual(operation.final, CANNOT_SET, operation.statuses)
        self.assertLess(operation.seconds, SYNCHRONIZE_BOUND)
        self.assertEqual(requests, 1, "the program's own request only")
        self.s.wine("sc", "start", "ZelmoraClock")

    def test_5_uninstall_removes_it(self):
        self.s.wine(INSTALL_DIR + r"\uninstall.exe", "/S")
        self.s.wait_for(lambda: not self.s.unix_path(INSTALL_DIR).exists(), 60,
                        message="the uninstaller to remove the installation")
        self.assertEqual(self.zservice("config"), {"installed": False, "error": "error 1060"})
        self.assertIsNone(program_pid(self.s.prefix, "ZelmoraService.exe"))

"""End-to-end tests of the program's start and of its stored settings.

What a start shows with and without stored settings, the automatic synchronisation at
start, the single running copy, and what closing the window writes into the registry:
the three settings under HKCU and the autorun command under HKLM.
"""

import contextlib
import re
import time
import unittest
from dataclasses import dataclass
from typing import Optional
from unittest import mock

import harness
import timeserver as ts
from harness import (CANNOT_SET, CHK_AUTO, CHK_AUTORUN, HTCLOSE, READY, RUN_KEY, RUN_SUBKEY,
                     RUN_VALUE, TXT_INTERVAL, UPDATED, WS_MAXIMIZE, click_caption_button,
                     end_program, other_windows, reg_value, reg_values, set_interval,
                     start_second_copy,
                     stored_settings, sz, taskbar_button, wait_dump, wait_shown, window_state)

# A second copy must give up at once; Wine itself needs a moment to start one.
SECOND_START_LIMIT = 5


def assert_second_copy_exits_at_once(test: harness.SessionTestCase):
    """A second start ends at once, and the first copy, its window and its icon stay as they
    were."""
    before = window_state(test.s)
    code, seconds = start_second_copy(test.s)
    test.assertEqual(code, 0, f"exit code of the second copy (None: still running "
                              f"after {seconds:.1f} s)")
    test.assertLess(seconds, SECOND_START_LIMIT, "the second copy took its time to end")
    test.assertTrue(test.s.program_alive(), "the first copy ended")
    test.assertEqual(window_state(test.s), before, "the first copy's window changed")
    test.assertEqual(len(test.s.tray_icons()), 1, "tray icons")


def write_settings(s: harness.Session, values: dict):
    """Replaces the stored settings by values (name -> text; None: not stored)."""
    s.reg_delete(harness.SETTINGS_KEY)
    present = {k: v for k, v in values.items() if v is not None}
    if present:
        s.import_registry({harness.SETTINGS_KEY: present})


def shown_settings(d: dict) -> tuple:
    """(interval text, Auto box state, AutoRun box state) of a dump."""
    by_id = {c["id"]: c for c in d["controls"]}
    return by_id[TXT_INTERVAL]["text"], by_id[CHK_AUTO]["check"], by_id[CHK_AUTORUN]["check"]


class FirstStart(harness.SessionTestCase):
    """The very first start: nothing stored, so the defaults, and no side effects."""

    def test_defaults_are_shown_in_a_normal_window(self):
        d = wait_dump(self.s, "responsive", timeout=15)
        self.assertEqual(shown_settings(d), ("30", 0, 0), "(interval, Auto, AutoRun)")
        self.assertTrue(d["visible"], "window hidden")
        self.assertFalse(d["iconic"], "window minimised")
        self.assertFalse(d["style"] & WS_MAXIMIZE, "window maximised")
        self.assertEqual(self.s.status(), READY)
        self.assertIsNotNone(taskbar_button(self.s), "no taskbar button")

    def test_no_request_and_nothing_stored_until_a_save(self):
        # The clock ticks 20 times a second; give it a couple of seconds to misbehave.
        time.sleep(2)
        self.assertEqual(self.s.server.requests, [], "requests to the time server")
        self.assertIsNone(reg_values(self.s, r"HKCU\Software\VB and VBA Program Settings"),
                          "a settings key was created")
        self.assertIsNone(reg_value(self.s, RUN_KEY, RUN_VALUE),
                          "an autorun value was written")

    def test_second_start_exits_at_once_and_leaves_the_first_alone(self):
        first = self.s.dump()
        assert_second_copy_exits_at_once(self)
        self.assertEqual(self.s.dump()["hwnd"], first["hwnd"])
        windows = [w for w in self.s.windows() if w["class"] == harness.MAIN_CLASS]
        self.assertEqual(len(windows), 1, f"main windows: {windows}")

    def test_a_probe_line_longer_than_it_reads_is_refused_whole(self):
        hwnd, long = self.s.dump()["hwnd"], "x" * harness.PROBE_LINE_BYTES
        self.assertRaises(harness.HarnessError, self.s.probe, "dump", long)
        # Past the harness's own refusal, the probe's: its rest must not run as a command.
        with mock.patch.object(harness, "PROBE_LINE_BYTES", 3 * harness.PROBE_LINE_BYTES):
            self.assertEqual(self.s.probe("dump", long, check=False),
                             {"error": "a command line longer than the probe reads"})
        self.assertEqual(self.s.dump()["hwnd"], hwnd, "the next command's answer")


class StoredSettings(harness.SessionTestCase):
    """Settings stored before the start appear in the controls; unusable ones are replaced."""

    session_options = {"start_program": False}

    # (Interval, Auto, AutoRun) as stored (None: not stored) -> as shown: interval text,
    # Auto box, AutoRun box (0 off, 1 on, 2 greyed). An interval that is not a number, or
    # rounds to less than one minute, shows the default; anything but 0, 1 or 2 leaves a
    # box off.
    CASES = [
        (("45", "2", "1"), ("45", 2, 1)),
        (("", "7", "2"), ("30", 0, 2)),
        (("0", "abc", "0"), ("30", 0, 0)),
        (("-5", "-1", "3"), ("30", 0, 0)),
        (("abc", None, None), ("30", 0, 0)),
        (("99999999999", "0", "1"), ("30", 0, 1)),  # beyond 32 bits
        ((" 45 ", None, "abc"), (" 45 ", 0, 0)),  # blanks around a number are fine, and kept
        (("0.4", None, None), ("30", 0, 0)),  # rounds to 0
    ]

    def setUp(self):
        super().setUp()
        # A greyed Auto box lets the clock tick ask for the time; answer at once.
        self.s.server.configure(status=503, body="unavailable")

    def test_stored_settings_are_shown(self):
        for (interval, auto, autorun), wanted in self.CASES:
            stored = {"Interval": interval, "Auto": auto, "AutoRun": autorun}
            with self.subTest(stored=stored):
                write_settings(self.s, stored)
                self.s.start_program()
                try:
                    d = wait_dump(self.s, "responsive", timeout=15)
                    self.assertEqual(shown_settings(d), wanted, "(interval, Auto, AutoRun)")
                    self.assertTrue(d["visible"] and not d["iconic"], "window state")
                finally:
                    end_program(self.s)


class AutoSyncAtStart(harness.SessionTestCase):
    """With Auto stored as 1 the program sets the clock at start and hides in the tray."""

    session_options = {"start_program": False,
                       "registry": {harness.SETTINGS_KEY: {"Auto": "1"}}}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        s = cls.s
        cls.attempts = []
        # Wine sets the clock only when it moves by less than half a second: the page is
        # served right after a second boundary, and if the second may still have rolled over
        # between page and clock (Wine refuses), the start is tried once more.
        for _ in range(2):
            s.server.reset()
            s.server.configure(body=ts.live_page(0), align_to_second=True)
            s.start_program(wait=False)
            status = s.wait_for(cls.final_status, 30, message="the start's synchronisation")
            cls.attempts.append(status)
            page_at = s.server.exchanges[0].first_byte_at if s.server.exchanges else None
            if status != CANNOT_SET or not cls.may_retry_after_rollover(
                    "the start's synchronisation", page_at, time.time()):
                break
            end_program(s)
        # The window hides right after the synchronisation; the tests check that it did.
        with contextlib.suppress(AssertionError):
            wait_shown(s, False, 5)
        # Anything more would come right after the start: wait a little before counting.
        time.sleep(2)
        cls.requests = s.server.requests

    @classmethod
    def final_status(cls) -> Optional[str]:
        status = cls.s.probe("status", check=False)
        if not status.get("found"):
            return None
        text = status["status"]
        return text if text.startswith(("Time updated", "Cannot")) else None

    def test_synchronises_once_and_hides_into_the_tray(self):
        self.assertRegex(self.attempts[-1], UPDATED, f"status after each start {self.attempts}")
        self.assertEqual(len(self.requests), 1, "requests to the time server during the start")
        state = window_state(self.s)
        self.assertFalse(state["visible"], state)
        self.assertTrue(state["iconic"], state)
        self.assertEqual(len(self.s.tray_icons()), 1, "tray icons")
        self.assertIsNone(taskbar_button(self.s), "a hidden window has a taskbar button")

    def test_second_start_exits_at_once_and_leaves_the_first_hidden(self):
        assert_second_copy_exits_at_once(self)


@dataclass
class SaveCase:
    name: str
    program_dir: str
    stored: dict  # settings stored before the start
    interval: Optional[str]  # typed into the box; None: left alone
    click: tuple  # check boxes clicked once each
    close: str  # "close box" or "alt+F4"
    saved: dict  # the three settings as stored afterwards (text)
    autorun: str  # the autorun value's text afterwards
    old_autorun: Optional[str] = None  # an autorun value present before the start


PROGRAM_FILES = harness.DEFAULT_PROGRAM_DIR


class SavedSettings(harness.SessionTestCase):
    """Closing the window stores the settings as text, and the autorun command under HKLM."""

    session_options = {"start_program": False}

    CASES = [
        SaveCase("autorun on, folder with a blank: quoted", PROGRAM_FILES, {}, "12",
                 (CHK_AUTO, CHK_AUTORUN), "close box",
                 {"Interval": "12", "Auto": "1", "AutoRun": "1"},
                 '"C:\\Program Files\\Zelmora\\Zelmora.exe"'),
        SaveCase("autorun on, folder without blanks: unquoted", r"C:\Tools", {}, "",
                 (CHK_AUTORUN,), "alt+F4",
                 {"Interval": "", "Auto": "0", "AutoRun": "1"}, r"C:\Tools\Zelmora.exe"),
        SaveCase("autorun turned off: empty value, not deleted", PROGRAM_FILES,
                 {"Interval": "15", "Auto": "0", "AutoRun": "1"}, None, (CHK_AUTORUN,),
                 "close box", {"Interval": "15", "Auto": "0", "AutoRun": "0"}, "",
                 old_autorun='"C:\\Program Files\\Zelmora\\Zelmora.exe"'),
        SaveCase("autorun greyed: empty value; text kept as typed", PROGRAM_FILES,
                 {"AutoRun": "2", "Auto": "2"}, " 7 ", (), "alt+F4",
                 {"Interval": " 7 ", "Auto": "2", "AutoRun": "2"}, "",
                 old_autorun=r"C:\elsewhere\Zelmora.exe"),
    ]

    def setUp(self):
        super().setUp()
        # Auto, once on, makes the clock tick ask for the time; answer at once.
        self.s.server.configure(status=503, body="unavailable")
        self.addCleanup(end_program, self.s)

    def start(self, program_dir: str, stored: dict, old_autorun: Optional[str]):
        s = self.s
        write_settings(s, stored)
        s.reg_delete(RUN_KEY, RUN_VALUE)
        if old_autorun is not None:
            s.reg_add(RUN_KEY, RUN_VALUE, old_autorun)
        s.install_program(program_dir)
        s.start_program()

    def close(self, how: str):
        if how == "close box":
            click_caption_button(self.s, HTCLOSE)
        else:
            self.s.key("alt+F4")
        wait_shown(self.s, False)

    def test_closing_stores_the_settings(self):
        for case in self.CASES:
            with self.subTest(case.name):
                self.start(case.program_dir, case.stored, case.old_autorun)
                try:
                    if case.interval is not None:
                        set_interval(self.s, case.interval)
                    for box in case.click:
                        wanted = 0 if self.s.control(box)["check"] == 1 else 1
                        self.s.click_control(box)
                        shown = self.s.control(
                            box, wait_dump(self.s, "responsive", timeout=15))["check"]
                        self.assertEqual(shown, wanted, f"box {box} after a click")
                    self.close(case.close)
                    self.assertEqual(stored_settings(self.s),
                                     {k: sz(v) for k, v in case.saved.items()},
                                     "settings under HKCU (type, bytes)")
                    self.assertEqual(reg_value(self.s, RUN_KEY, RUN_VALUE),
                                     sz(case.autorun), "autorun value (type, bytes)")
                finally:
                    end_program(self.s)

    def test_unwritable_run_key(self):
        # A user without write access to HKLM\...\Run cannot open it for setting a value.
        # Wine's server checks a key's access list when a handle is opened, as Windows does,
        # so the key gets one that lets everybody only read it: the program's open fails
        # with "access denied", exactly as for such a user. (Deleting the key would fail the
        # open too, but with "not found".) The owner keeps the right to change the list, so
        # it is put back afterwards; the server forgets it anyway when it ends.
        s = self.s
        old = r"C:\elsewhere\Zelmora.exe"
        self.start(PROGRAM_FILES, {}, old)
        d = s.dump()
        acl = s.probe("key-dacl", "HKLM", RUN_SUBKEY, "D:P(A;;KR;;;WD)")
        self.assertTrue(acl["set"], f"locking the key: {acl}")
        self.addCleanup(s.probe, "key-dacl", "HKLM", RUN_SUBKEY, acl["before"])
        refused = s.reg("add", RUN_KEY, "/v", "probe", "/d", "x", "/f")
        self.assertNotEqual(refused.returncode, 0, "the locked key still takes values")

        set_interval(s, "14")
        s.click_control(CHK_AUTORUN)
        self.close("close box")
        time.sleep(1)  # time for a message box to show up, if there were one
        self.assertEqual(stored_settings(s), {"Interval": sz("14"), "Auto": sz("0"),
                                              "AutoRun": sz("1")}, "settings under HKCU")
        self.assertEqual(reg_value(s, RUN_KEY, RUN_VALUE), sz(old),
                         "the autorun value changed")
        self.assertTrue(s.program_alive(), "the program ended")
        self.assertEqual(other_windows(s, d), [], "a window appeared")



# A folder whose name Wine's code page (1252) cannot hold, and one whose path passes the old
# 260-character limit (each part under Linux's 255 bytes in UTF-8).
FOREIGN_DIR = "C:\\Программы\\時計 Zelmora"
LONG_DIR = FOREIGN_DIR + "".join(f"\\{n} папка с очень длинным именем для проверки пути"
                                 for n in range(1, 6))


def shell_opened(trace: list) -> list:
    """The files the program asked the shell to open, from its lines of Wine's exec trace."""
    def unescape(m):
        return chr(int(m.group(1), 16)) if m.group(1) else m.group(2)
    found = [f for line in trace
             for f in re.findall(r'SHELL_execute .*? file=L"((?:[^"\\]|\\.)*)"', line)]
    return [re.sub(r"\\(?:([0-9a-f]{4})|(.))", unescape, f) for f in found]


class ForeignFolder(harness.SessionTestCase):
    """The program kept in a folder whose name lies outside the system's code page: it starts,
    writes an autorun value naming exactly its exe, keeps its settings across a restart and
    opens exactly its own readme."""

    session_options = {"start_program": False, "trace": ("exec",)}  # what the shell opens

    def setUp(self):
        super().setUp()
        self.addCleanup(end_program, self.s)

    def start(self, program_dir: str):
        s = self.s
        s.install_program(program_dir)
        s.unix_path(program_dir + r"\readme.txt").write_text("Zelmora\r\n")
        s.start_program()
        s.wait_for(lambda: s.status() == READY, 15, message='"Ready."')

    def check_folder(self, program_dir: str, read_trace: bool):
        s = self.s
        s.reg_delete(harness.SETTINGS_KEY)
        s.reg_delete(RUN_KEY, RUN_VALUE)
        self.start(program_dir)
        set_interval(s, "21")
        s.click_control(CHK_AUTORUN)
        click_caption_button(s, HTCLOSE)
        wait_shown(s, False)
        exe = f'"{program_dir}\\{harness.FACTS["exeName"]}"'
        self.assertEqual(reg_value(s, RUN_KEY, RUN_VALUE), sz(exe), "autorun value")
        end_program(s)

        self.start(program_dir)
        dump = wait_dump(s, "responsive", timeout=15)
        self.assertEqual(shown_settings(dump), ("21", 0, 1),
                         "(interval, Auto, AutoRun) after a restart")
        s.click_control(harness.LBL_README)
        if read_trace:
            opened = s.wait_for(lambda: shell_opened(s.traced(dump["pid"], "exec")), 10,
                                message="the shell to be asked to open the readme")
            self.assertEqual(opened, [program_dir + r"\readme.txt"],
                             "files the shell was asked to open")

    def test_folder_outside_the_code_page(self):
        self.check_folder(FOREIGN_DIR, read_trace=True)

    def test_folder_path_longer_than_260_characters(self):
        self.assertGreater(len(LONG_DIR), 260)
        try:
            self.start(LONG_DIR)
        except harness.HarnessError:
            if "could not be started" in (self.s.workdir / "program.log").read_text(
                    errors="replace"):
                self.skipTest("Wine does not start a program from a path this long "
                              "(ShellExecuteEx: file not found)")
            raise
        end_program(self.s)
        # Wine's trace cuts long strings short, so only the autorun value and the settings.
        self.check_folder(LONG_DIR, read_trace=False)


if __name__ == "__main__":
    unittest.main()

"""The setup program and uninstaller, run silently as an administrator's script runs them."""

import os
import re

from harness import (CHK_AUTORUN, FACTS, READY, RUN_KEY, RUN_VALUE, SETTINGS_KEY,
                     SessionTestCase, build_dir, env_path, plain, reg_value, reg_values,
                     set_interval, sz, target)

ARCH = target().arch
VERSION = FACTS["versionText"]
SETUP = env_path("ZELMORA_SETUP", build_dir() / ARCH / f"Zelmora-{VERSION}-setup.exe")
SETUP_COPY = r"C:\Downloads\Zelmora-setup.exe"
INSTALL_DIR = r"C:\Program Files (x86)\Zelmora"
OWN_EXE = INSTALL_DIR + r"\Zelmora.exe"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelmora"
SHORTCUT = r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Zelmora.lnk"
OTHER = ("OtherProgram", r"C:\Other\other.exe")  # another program's autorun value


class Installer(SessionTestCase):
    session_options = {"start_program": False, "files": {SETUP_COPY: SETUP.read_bytes()}}

    def run_windows(self, exe, *args, wait=120):
        return self.s.spawn(exe, *args, log_path=self.s.workdir / "installer.log",
                            cwd=self.s.unix_path("C:\\"), what=exe, wait=wait)[1]

    def installed(self):
        files = sorted(p.name for p in self.s.unix_path(INSTALL_DIR).glob("*"))
        return files, self.s.unix_path(SHORTCUT).exists(), reg_values(self.s, UNINSTALL_KEY)

    def test_1_install_and_start(self):
        self.assertEqual(self.run_windows(SETUP_COPY, "/S"), 0)
        files, shortcut, entry = self.installed()
        self.assertEqual((files, shortcut),
                         (["Zelmora.exe", "readme.txt", "uninstall.exe"], True))
        values = {name: plain(value) for name, value in entry.items()}
        self.assertGreater(values.pop("EstimatedSize"), 200)  # KiB
        quoted = f'"{INSTALL_DIR}\\uninstall.exe"'
        self.assertEqual(values, {
            "DisplayName": "Orva Zelmora", "DisplayVersion": VERSION, "Publisher": "Orva",
            "DisplayIcon": OWN_EXE + ",0", "InstallLocation": INSTALL_DIR, "NoModify": 1,
            "NoRepair": 1, "UninstallString": quoted, "QuietUninstallString": quoted + " /S"})
        self.s.program_dir = INSTALL_DIR
        self.s.start_program()
        self.s.wait_status(lambda text: text == READY, 10)

    def test_2_install_over_running_program(self):
        # Changes that only the end-of-session road saves: the interval, and autorun.
        set_interval(self.s, "45")
        self.s.click_control(CHK_AUTORUN)
        os.utime(self.s.unix_path(OWN_EXE), (0, 0))
        self.assertEqual(self.run_windows(SETUP_COPY, "/S"), 0)
        self.assertIsNotNone(self.s.wait_exit(10), "the running program did not end")
        self.assertIsNone(self.s.program_pid())
        self.assertGreater(self.s.unix_path(OWN_EXE).stat().st_mtime, 0, "not replaced")
        self.assertEqual(reg_value(self.s, SETTINGS_KEY, "Interval"), sz("45"))
        self.assertEqual(reg_value(self.s, RUN_KEY, RUN_VALUE), sz(f'"{OWN_EXE}"'))

    def test_3_uninstall(self):
        self.s.reg_add(RUN_KEY, *OTHER)
        self.s.start_program()  # the first uninstall ends it
        for run_value, kept in ((f'"{OWN_EXE}"', False), (OWN_EXE.upper(), False),
                                ("", False), (r"C:\Tools\Zelmora.exe", True)):
            with self.subTest(run_value=run_value):
                if reg_values(self.s, UNINSTALL_KEY) is None:
                    self.assertEqual(self.run_windows(SETUP_COPY, "/S"), 0)
                self.s.reg_add(RUN_KEY, RUN_VALUE, run_value)
                command = plain(reg_value(self.s, UNINSTALL_KEY, "QuietUninstallString"))
                exe, args = re.fullmatch(r'"([^"]+)" (.*)', command).groups()
                self.run_windows(exe, *args.split(), wait=60)
                # It goes on from a copy of itself after it returns.
                self.s.wait_for(lambda: self.installed() == ([], False, None), 60,
                                message="the uninstaller to remove the installation")
                self.assertEqual(reg_values(self.s, RUN_KEY), {OTHER[0]: sz(OTHER[1])} | (
                    {RUN_VALUE: sz(run_value)} if kept else {}))
                self.assertEqual(reg_value(self.s, SETTINGS_KEY, "Interval"), sz("45"))

    def test_4_a_folder_it_may_not_take_is_refused_with_nothing_installed(self):
        target = self.s.unix_path(r"C:\Target")
        target.mkdir()
        # (what the folder is, how it is made); Wine shows a symbolic link as a junction.
        for name, make in (("holding other files",
                            lambda p: (p.mkdir(), (p / "notes.txt").write_text("mine"))),
                           ("a junction", lambda p: p.symlink_to(target))):
            with self.subTest(name):
                folder = r"C:\Taken-" + name.split()[-1]  # /D= is taken unquoted only
                make(self.s.unix_path(folder))
                before = sorted(os.walk(self.s.unix_path(r"C:\\")))
                self.assertEqual(self.run_windows(SETUP_COPY, "/S", "/D=" + folder), 2)
                self.assertEqual(sorted(os.walk(self.s.unix_path(r"C:\\"))), before)
                self.assertEqual(self.installed(), ([], False, None))
        with self.subTest("another user's"):
            self.skipTest("this Wine keeps no owner on a folder: each is its user's, who runs "
                          "the setup program (the refusal is decided by JudgeInstallFolder)")


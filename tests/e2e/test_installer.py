"""The setup program and uninstaller, run silently as an administrator's script runs them."""

import os
import re
import shutil
import subprocess
import tempfile
import zipfile
from pathlib import Path

import test_service
from harness import (CHK_AUTORUN, FACTS, PREFERENCE_KEY, READY, REPO, RUN_KEY, RUN_VALUE,
                     SETTINGS_KEY,
                     SessionTestCase, build_dir, env_path, plain, port, reg_value, reg_values,
                     set_interval, sz, target)

ARCH = target().arch
VERSION = FACTS["versionText"]
SETUP = env_path("ZELMORA_SETUP", build_dir() / ARCH / f"Zelmora-{VERSION}-setup.exe")
SETUP_COPY = r"C:\Downloads\Zelmora-setup.exe"
INSTALL_DIR = test_service.INSTALL_DIR
OWN_EXE = INSTALL_DIR + r"\Zelmora.exe"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zelmora"
SHORTCUT = r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Zelmora.lnk"
OTHER = ("OtherProgram", r"C:\Other\other.exe")  # another program's autorun value


class Installer(SessionTestCase):
    session_options = {"start_program": False, "files": {SETUP_COPY: SETUP.read_bytes()}}

    def run_windows(self, exe, *args, wait=120):
        return self.s.spawn(exe, *args, log_path=self.s.workdir / "installer.log",
                            cwd=self.s.unix_path("C:\\"), what=exe, wait=wait)[1]

    def drive_c(self) -> list:
        """Every folder and file of C:, but the temporary folders, which the setup programs
        and the uninstaller's copy of itself fill and empty in their own time."""
        found = []
        for top, folders, files in os.walk(self.s.unix_path("C:\\")):
            folders[:] = sorted(name for name in folders if name.lower() != "temp")
            found.append((top, folders, sorted(files)))
        return found

    def installed(self):
        return (test_service.folder_files(self.s, INSTALL_DIR), self.s.unix_path(SHORTCUT).exists(),
                reg_values(self.s, UNINSTALL_KEY))

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
                self.s.wait_for(lambda: self.installed() == (None, False, None), 60,
                                message="the uninstaller to remove the installation")
                self.assertEqual(reg_values(self.s, RUN_KEY), {OTHER[0]: sz(OTHER[1])} | (
                    {RUN_VALUE: sz(run_value)} if kept else {}))
                self.assertEqual(reg_value(self.s, SETTINGS_KEY, "Interval"), sz("45"))

    def test_4_a_folder_it_may_not_take_is_refused_with_nothing_installed(self):
        target = self.s.unix_path(r"C:\Target")
        target.mkdir()
        (target / "mine.exe").write_text("mine")
        # (what the folder is, the folder, how it is made); to Wine, a symbolic link is a
        # junction, or opens as its target, and a mode that lets all write, a list that lets
        # everyone change the folder.
        for name, folder, make in (
                ("holding other files", r"C:\Taken-files",
                 lambda p: (p.mkdir(), (p / "notes.txt").write_text("mine"))),
                ("a junction", r"C:\Taken-junction", lambda p: p.symlink_to(target)),
                ("holding a second name of another file", r"C:\Taken-link",
                 lambda p: (p.mkdir(), os.link(target / "mine.exe", p / "Zelmora.exe"))),
                ("open to other users", r"C:\Taken-open", lambda p: (p.mkdir(), p.chmod(0o777))),
                ("under a junction", r"C:\Linked\Zelmora", lambda p: p.parent.symlink_to(target)),
                ("under a folder other users may change", r"C:\Shared\Zelmora",
                 lambda p: (p.parent.mkdir(), p.parent.chmod(0o777)))):
            with self.subTest(name):
                make(self.s.unix_path(folder))  # /D= is taken unquoted only
                before = self.drive_c()
                self.assertEqual(self.run_windows(SETUP_COPY, "/S", "/D=" + folder), 2)
                self.assertEqual(self.drive_c(), before)
                self.assertEqual(self.installed(), (None, False, None))
        with self.subTest("another user's"):
            self.skipTest("this Wine keeps no owner on a folder: each is its user's, who runs "
                          "the setup program (the refusal is decided by JudgeInstallFolder)")


    def test_5_the_time_page_switch_writes_the_machines_preference(self):
        page = f"https://127.0.0.1:{port() + 2000}/cgi-bin/timer.pl"
        preference = lambda: reg_value(self.s, PREFERENCE_KEY.replace("HKLM", "HKLM64"),  # noqa
                                       "TimePage")
        for name, switch, code, stored in (
                ("an address the program would not take", "/TIMEPAGE=ftp://x/", 2, None),
                ("an address", "/TIMEPAGE=" + page, 0, sz(page))):
            with self.subTest(name):
                self.assertEqual(self.run_windows(SETUP_COPY, "/S", switch), code)
                self.assertEqual(preference(), stored, "the preference in the 64-bit view")
                self.assertEqual(bool(self.installed()[0]), code == 0, "installed")


def signing_key(folder: Path) -> tuple:
    """(.p12, password file, authority): a throwaway authority's code-signing certificate."""
    (folder / "password").write_text("a pass phrase\n")
    new = "req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
    for command in (f"{new} -keyout ca.key -out ca.crt -subj /CN=Test-authority",
                    f"{new} -keyout key -out crt -subj /CN=Test-signer -CA ca.crt -CAkey ca.key "
                    "-addext basicConstraints=CA:false -addext extendedKeyUsage=codeSigning",
                    "pkcs12 -export -inkey key -in crt -certfile ca.crt -passout file:password "
                    "-out p12"):
        subprocess.run(["openssl", *command.split()], cwd=folder, check=True, capture_output=True)
    return folder / "p12", folder / "password", folder / "ca.crt"


def verify(path: Path, authority: Path) -> tuple:
    """osslsigncode's exit code and verdict: ok, mismatch, no signature, or what it said."""
    run = subprocess.run(["osslsigncode", "verify", "-CAfile", authority, "-in", path],
                         capture_output=True, text=True)
    said = run.stdout + run.stderr
    return run.returncode, next((verdict for text, verdict in (
        ("Signature verification: ok", "ok"), ("MISMATCH", "mismatch"),
        ("No signature found", "no signature")) if text in said), said[-500:])


class SignedRelease(SessionTestCase):
    """tools/make-release.sh --sign of an https:// build, installed with the clock service (Wine's
    sc replaced by the service tests' stand-in), then its programs' signatures."""

    @classmethod
    def setUpClass(cls):
        cls.folder = Path(tempfile.mkdtemp())
        cls.addClassCleanup(shutil.rmtree, cls.folder)
        p12, password, cls.authority = signing_key(cls.folder)
        run = subprocess.run([REPO / "tools/make-release.sh", "--sign", p12, "--password-file",
                              password, "--url", f"https://localhost:{port()}/cgi-bin/timer.pl",
                              "--out", cls.folder, "--build-dir", build_dir() / "release-signed"],
                             stderr=subprocess.PIPE, text=True)
        cls.warnings = run.stderr
        if run.returncode:
            raise AssertionError(f"make-release.sh ended with {run.returncode}: {run.stderr}")
        cls.setup = cls.folder / f"Zelmora-{VERSION}-setup.exe"
        cls.session_options = {"start_program": False,
                               "files": {SETUP_COPY: cls.setup.read_bytes()}}
        super().setUpClass()
        cls.s.wine(SETUP_COPY, "/S", timeout=120)

    @classmethod
    def prepare_prefix(cls, session):  # the stand-in passes on the steps Wine's sc fails
        test_service.put_sc_stand_in(session)

    def packed(self) -> list:
        """Every program as the zip and both installers carry it, taken out with 7-Zip (which
        reads the setup program's archive) and msitools."""
        package = self.folder / f"Zelmora-{VERSION}.msi"
        out = self.folder / "packed"
        with zipfile.ZipFile(self.folder / f"Zelmora-{VERSION}.zip") as release:
            release.extract("Zelmora/Zelmora.exe", out / "zip")
        subprocess.run(["7zz", "x", f"-o{out / 'setup'}", self.setup,
                        "$PLUGINSDIR/ZelmoraSetup.dll", "Zelmora.exe", "ZelmoraService.exe"],
                       check=True, capture_output=True)
        subprocess.run(["msiextract", "-C", out / "msi", package], check=True, capture_output=True)
        (out / "msi" / "ZelmoraSetup.dll").write_bytes(subprocess.run(
            ["msiinfo", "extract", package, "Binary.ZelmoraSetup"], check=True,
            capture_output=True).stdout)
        programs = sorted(p for p in out.rglob("*") if p.suffix in (".exe", ".dll"))
        self.assertEqual(sorted(str(p.relative_to(out)).split("/")[0] + ":" + p.name
                                for p in programs),
                         ["msi:Zelmora.exe", "msi:ZelmoraService.exe", "msi:ZelmoraSetup.dll",
                          "setup:Zelmora.exe", "setup:ZelmoraService.exe",
                          "setup:ZelmoraSetup.dll", "zip:Zelmora.exe"], "the packed programs")
        return [self.setup, package, *programs]

    def test_every_shipped_program_verifies_and_not_with_a_byte_changed(self):
        installed = [self.s.unix_path(f"{INSTALL_DIR}\\{name}")
                     for name in ("Zelmora.exe", "ZelmoraService.exe", "uninstall.exe")]
        for path in (*self.packed(), *installed):
            with self.subTest(str(path.relative_to(self.folder)) if self.folder in path.parents
                              else "installed " + path.name):
                self.assertEqual(verify(path, self.authority), (0, "ok"))
                changed = bytearray(path.read_bytes())
                changed[len(changed) // 2] ^= 1
                (self.folder / "changed").write_bytes(changed)
                self.assertEqual(verify(self.folder / "changed", self.authority), (1, "mismatch"))
        self.assertIn("WARNING: signed without --timestamp", self.warnings)

    def test_the_signed_program_starts(self):
        self.s.program_dir = INSTALL_DIR
        self.s.start_program()
        self.s.wait_status(lambda text: text == READY, 10)

"""The build's own tools: the Debian mirror the Wine root comes from, its qemu-i386 handler,
and the runner that turns a unittest class into one ctest result."""

import json
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
DEB822 = """Types: deb-src\nURIs: file:/srv/source\nSuites: {r}\n
Types: deb\nURIs: file:/srv/security-updates\nSuites: {r}-security\n
Types: deb\nEnabled: no\nURIs: file:/srv/disabled\nSuites: {r}\n
Types: deb\nURIs: file:/srv/mirror/ file:/srv/second\nSuites: {r} {r}-x\n"""
ONE_LINE = """deb-src file:/srv/source {r} main
deb [arch=amd64 signed-by=/usr/share/keyrings/k.gpg] file:/srv/local {r} main
deb file:/srv/later {r} main\n"""
HANDLER = "enabled\ninterpreter /usr/bin/x\nflags: F\noffset {}\nmagic {}\n{}"
I386 = "7f454c4601010100000000000000000002000300"  # an i386 ELF program's first 20 bytes
I386_MASK = "fffffffffffefe00fffffffffffffffffeffffff"
HANDLERS = {  # binfmt_misc entries as the kernel shows them; whether i386 ELF files go there
    "qemu-i386": (HANDLER.format(0, I386, f"mask {I386_MASK}\n"), True),
    "unmasked": (HANDLER.format(0, I386, ""), True),
    "elf-class": (HANDLER.format(4, "01", ""), True),
    "qemu-arm": (HANDLER.format(0, I386[:-6] + "2800", f"mask {I386_MASK}\n"), False),
    "exe": ("enabled\ninterpreter /usr/bin/x\nflags: \nextension .exe\n", False),
    "long": (HANDLER.format(0, "7f454c46" + "00" * 30, ""), False)}
RUNNER_CASES = """
import unittest
class Passes(unittest.TestCase):
    def test_one(self):
        with self.subTest(): pass
class SkipsPart(unittest.TestCase):
    def test_one(self): pass
    def test_two(self): self.skipTest("not here")
    def test_three(self):
        for n in (1, 2):
            with self.subTest(n=n): self.skipTest("not here")
class Fails(unittest.TestCase):
    def test_one(self): self.fail("wrong")
class FailsSubtest(unittest.TestCase):
    def test_one(self):
        with self.subTest(): self.fail("wrong")
    def test_two(self): self.skipTest("not here")
class SkipsAll(unittest.TestCase):
    def test_one(self): self.skipTest("not here")
class SkipsClass(unittest.TestCase):
    @classmethod
    def setUpClass(cls): raise unittest.SkipTest("not here")
    def test_one(self): pass
class FailsClass(unittest.TestCase):
    @classmethod
    def setUpClass(cls): raise RuntimeError("wrong")
    def test_one(self): pass
    def test_two(self): pass
class Hangs(unittest.TestCase):
    def test_one(self): __import__("time").sleep(60)
class Empty(unittest.TestCase): pass
"""


def run(args, **options) -> subprocess.CompletedProcess:
    return subprocess.run(args, capture_output=True, text=True, **options)


class Tools(unittest.TestCase):
    def test_the_wine_root_takes_the_host_releases_own_mirror(self):
        release = run(["bash", "-c", ". /etc/os-release; echo $VERSION_CODENAME"]).stdout.strip()
        for name, text, override, expected in (
                ("sources.list.d/debian.sources", DEB822, "", "file:/srv/mirror"),
                ("sources.list", ONE_LINE, "", "file:/srv/local"),
                ("sources.list", ONE_LINE, "file:/srv/own/", "file:/srv/own"),
                ("sources.list", "deb file:/srv/other other main\n", "", None)):
            with self.subTest(name=name, override=override), tempfile.TemporaryDirectory() as apt:
                (Path(apt) / "sources.list.d").mkdir()
                (Path(apt) / name).write_text(text.format(r=release))
                # The tool, seeing these apt sources in place of the host's.
                result = run(["bwrap", "--bind", "/", "/", "--bind", apt, "/etc/apt",
                              str(REPO / "tools" / "wine-root.sh"), "mirror"],
                             env={"PATH": "/usr/bin:/bin", "ZELMORA_DEBIAN_MIRROR": override})
                self.assertEqual((result.returncode == 0, result.stdout.strip() or None),
                                 (expected is not None, expected), result.stderr)

    def test_qemu_is_registered_only_where_no_handler_takes_i386_files(self):
        with tempfile.TemporaryDirectory() as root:
            qemu = Path(root) / "usr/local/bin/qemu-i386"
            qemu.parent.mkdir(parents=True)
            qemu.touch(0o755)
            for entry, (text, takes_i386) in HANDLERS.items():
                with self.subTest(entry=entry), tempfile.TemporaryDirectory() as binfmt:
                    for name, content in ((entry, text), ("register", ""), ("status", "enabled")):
                        (Path(binfmt) / name).write_text(content)
                    result = run([str(REPO / "tools" / "wine-root.sh"), "register", binfmt],
                                 env={"PATH": "/usr/bin:/bin", "ZELMORA_WINE_ROOT": root})
                    magic, mask = (re.sub("(..)", r"\\x\1", hex) for hex in (I386, I386_MASK))
                    self.assertEqual(
                        (result.returncode, *((Path(binfmt) / name).read_text()
                                              for name in ("register", entry))),
                        (0, "" if takes_i386 else f":zelmora-i386:M::{magic}:{mask}:{qemu}:F\n",
                         text), result.stderr)

    def test_the_runner_says_skipped_unless_every_case_was_checked(self):
        with tempfile.TemporaryDirectory() as folder:
            (Path(folder) / "cases.py").write_text(textwrap.dedent(RUNNER_CASES))
            # Exit code (None: killed, as by ctest's time limit), the cases passed, failed and
            # skipped, the reasons.
            for name, expected in (
                    ("Passes", (0, 1, 0, 0, [])), ("SkipsPart", (77, 1, 0, 2, ["not here"])),
                    ("Fails", (1, 0, 1, 0, [])), ("FailsSubtest", (1, 0, 1, 1, ["not here"])),
                    ("SkipsAll", (77, 0, 0, 1, ["not here"])),
                    ("SkipsClass", (77, 0, 0, 1, ["not here"])), ("FailsClass", (1, 0, 2, 0, [])),
                    ("Hangs", (None, 0, 1, 0, [])), ("Empty", (77, 0, 0, 0, ["no test to run"]))):
                with self.subTest(name=name):
                    try:
                        result = run([sys.executable, str(REPO / "tests" / "run_unittest.py"),
                                      f"cases.{name}"], cwd=folder, timeout=5,
                                     env={**os.environ, "ZELMORA_TEST_RESULTS": folder})
                        code, output = result.returncode, result.stdout + result.stderr
                    except subprocess.TimeoutExpired as killed:
                        code, output = None, str(killed.stderr)
                    counts = json.loads((Path(folder) / f"cases.{name}.json").read_text())
                    self.assertEqual((code, *(counts[key] for key in (
                        "passed", "failed", "skipped", "reasons"))), expected, output)
            summary = run([str(REPO / "tools" / "test-summary.py"), folder])
            lines = summary.stdout.splitlines()
            self.assertEqual(("  cases.Hangs: killed before it ended (its time limit): its 1 "
                              "cases count as failed" in lines, lines[-1]),
                             (True, "cases: 2 passed, 5 failed, 5 skipped"), summary.stdout)

if __name__ == "__main__":
    unittest.main()

"""The build's own tools: the Debian mirror the Wine root comes from, and the runner that
turns a unittest class into one ctest result."""

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
RUNNER_CASES = """
import unittest
class Passes(unittest.TestCase):
    def test_one(self): pass
    def test_two(self): self.skipTest("not here")
class Fails(unittest.TestCase):
    def test_one(self): self.fail("wrong")
class SkipsAll(unittest.TestCase):
    def test_one(self): self.skipTest("not here")
class SkipsClass(unittest.TestCase):
    @classmethod
    def setUpClass(cls): raise unittest.SkipTest("not here")
    def test_one(self): pass
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

    def test_the_runner_says_skipped_when_nothing_was_checked(self):
        with tempfile.TemporaryDirectory() as folder:
            (Path(folder) / "cases.py").write_text(textwrap.dedent(RUNNER_CASES))
            for name, code in (("Passes", 0), ("Fails", 1), ("SkipsAll", 77),
                               ("SkipsClass", 77), ("Empty", 77)):
                with self.subTest(name=name):
                    result = run([sys.executable, str(REPO / "tests" / "run_unittest.py"),
                                  f"cases.{name}"], cwd=folder)
                    self.assertEqual(result.returncode, code, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()

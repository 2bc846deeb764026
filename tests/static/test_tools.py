"""The build's own tools: the Debian mirror the Wine root comes from, and the runner that
turns a unittest class into one ctest result."""

import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]

DEB822 = """\
    Types: deb-src
    URIs: http://source.example/debian
    Suites: {release}

    Types: deb
    URIs: http://security.example/debian-security
    Suites: {release}-security

    Types: deb
    Enabled: no
    URIs: http://disabled.example/debian
    Suites: {release}

    Types: deb
    URIs: http://mirror.example/debian/ http://second.example/debian
    Suites: {release} {release}-updates
    """
ONE_LINE = """\
    deb-src http://source.example/debian {release} main
    deb [arch=amd64 signed-by=/usr/share/keyrings/k.gpg] http://local.example/debian {release} main
    deb http://later.example/debian {release} main
    """


class HostMirror(unittest.TestCase):
    """tools/wine-root.sh mirror, with this host's apt sources replaced by the case's."""

    def mirror(self, sources: dict, override: str = "") -> subprocess.CompletedProcess:
        release = subprocess.run(["bash", "-c", ". /etc/os-release; echo $VERSION_CODENAME"],
                                 capture_output=True, text=True, check=True).stdout.strip()
        with tempfile.TemporaryDirectory() as apt:
            (Path(apt) / "sources.list.d").mkdir()
            for name, text in sources.items():
                (Path(apt) / name).write_text(textwrap.dedent(text).format(release=release))
            env = {"PATH": "/usr/bin:/bin"} | ({"ZELMORA_DEBIAN_MIRROR": override}
                                               if override else {})
            return subprocess.run(["bwrap", "--bind", "/", "/", "--bind", apt, "/etc/apt",
                                   str(REPO / "tools" / "wine-root.sh"), "mirror"],
                                  capture_output=True, text=True, env=env)

    def test_the_host_releases_own_mirror_is_taken(self):
        if not shutil.which("bwrap"):
            self.skipTest("no bwrap to give the tool other apt sources")
        for sources, override, expected in (
                ({"sources.list.d/debian.sources": DEB822}, "", "http://mirror.example/debian"),
                ({"sources.list": ONE_LINE}, "", "http://local.example/debian"),
                ({"sources.list": ONE_LINE}, "http://override.example/debian/",
                 "http://override.example/debian"),
                ({"sources.list": "deb http://other.example/debian no-such-release main\n"}, "",
                 None)):
            with self.subTest(sources=list(sources), override=override):
                result = self.mirror(sources, override)
                if expected:
                    self.assertEqual((result.returncode, result.stdout.strip()), (0, expected),
                                     result.stderr)
                else:
                    self.assertNotEqual(result.returncode, 0)
                    self.assertIn("ZELMORA_DEBIAN_MIRROR", result.stderr)


class UnittestRunner(unittest.TestCase):
    """tests/run_unittest.py: 77 (skipped) when nothing was checked."""

    CASES = """\
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
        class Empty(unittest.TestCase):
            pass
        """

    def test_exit_codes(self):
        with tempfile.TemporaryDirectory() as folder:
            (Path(folder) / "cases.py").write_text(textwrap.dedent(self.CASES))
            for name, code in (("Passes", 0), ("Fails", 1), ("SkipsAll", 77),
                               ("SkipsClass", 77), ("Empty", 77)):
                with self.subTest(name=name):
                    result = subprocess.run(
                        [sys.executable, str(REPO / "tests" / "run_unittest.py"),
                         f"cases.{name}"], cwd=folder, capture_output=True, text=True)
                    self.assertEqual(result.returncode, code, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()

"""The footprint driver's parsing and summary helpers (no Wine needed)."""

import math
import unittest

import footprint as fp


def stat_line(comm: str, utime: int, stime: int) -> str:
    # Fields 3..13, then utime (14), stime (15), cutime, cstime, ...
    return (f"4242 ({comm}) S 1 4240 4240 0 -1 4194304 1947 0 0 0 {utime} {stime} 7 9 20 0 "
            "4 0 412952 1846116352 4737 18446744073709551615\n")


class ProcStat(unittest.TestCase):
    def test_utime_and_stime_whatever_the_command_name(self):
        cases = [
            ("Zelmora.exe", 5, 7),
            ("a b) S 9 9 (c", 123, 456),  # blanks and parentheses inside the name
            ("x", 0, 0),
        ]
        for comm, utime, stime in cases:
            with self.subTest(comm=comm):
                self.assertEqual(fp.parse_proc_stat(stat_line(comm, utime, stime)),
                                 (utime, stime))


class SmapsRollup(unittest.TestCase):
    TEXT = """140000000-7fffffffff ---p 00000000 00:00 0                          [rollup]
Rss:               26796 kB
Pss:               10301 kB
Private_Clean:       120 kB
Private_Dirty:      6520 kB
Private_Hugetlb:       0 kB
"""

    def test_private_is_clean_plus_dirty(self):
        fields = fp.parse_smaps_rollup(self.TEXT)
        self.assertEqual(fields["Rss"], 26796)
        self.assertEqual(fp.private_kib(fields), 6640)

    def test_missing_file_gives_nothing(self):
        self.assertEqual(fp.private_kib(fp.parse_smaps_rollup("")), 0)


class ProbeLine(unittest.TestCase):
    def test_lines(self):
        cases = [
            ("ready ready_us=10 window_us=5 visible_us=7 polls=3\n",
             {"status": "ready", "ready_us": 10, "window_us": 5, "visible_us": 7, "polls": 3}),
            ("timeout window_us=0 visible_us=0 polls=9",
             {"status": "timeout", "window_us": 0, "visible_us": 0, "polls": 9}),
        ]
        for line, expected in cases:
            with self.subTest(line=line):
                self.assertEqual(fp.parse_probe_line(line), expected)

    def test_garbage_is_refused(self):
        for line in ("", "ready 12"):
            with self.subTest(line=line), self.assertRaises(ValueError):
                fp.parse_probe_line(line)


class ProductFlags(unittest.TestCase):
    def test_files_outputs_and_includes_are_dropped(self):
        compile_command = ("/usr/bin/g++ -DNOMINMAX @CMakeFiles/Z.dir/includes_CXX.rsp -Ifoo "
                           "-O3 -DNDEBUG -std=c++20 -o CMakeFiles/w.obj -c /src/winmain.cpp")
        link_line = ("/usr/bin/g++ -O3 -DNDEBUG -mwindows -static -s -Wl,--no-insert-timestamp "
                     "-Wl,--whole-archive CMakeFiles/Z.dir/objects.a -Wl,--no-whole-archive "
                     "-o Zelmora.exe -Wl,--out-implib,libZelmora.dll.a @linkLibs.rsp")
        compile_flags, link_flags = fp.product_flags(compile_command, link_line)
        self.assertEqual(compile_flags, ["-DNOMINMAX", "-O3", "-DNDEBUG", "-std=c++20"])
        # The optimisation level is the compile's: the link line's repeat of it is dropped.
        self.assertEqual(link_flags, ["-mwindows", "-static", "-s", "-Wl,--no-insert-timestamp"])


class Summary(unittest.TestCase):
    def rows(self, ours: list, bare: list, exe32=None) -> dict:
        runs = {"ours": [dict(ready_ms=v) for v in ours], "bare": [dict(ready_ms=v) for v in bare]}
        return {r["key"]: r for r in fp.summarize(runs, exe32 or {"ours": 3, "bare": 2})}

    def test_median_ratio_and_verdict(self):
        cases = [
            # ours runs, bare runs, median ours, median bare, ratio, within target
            ([240, 900, 250, 245, 230], [200, 210, 205, 1000, 190], 245, 205, 245 / 205, True),
            ([400, 410], [200, 220], 405, 210, 405 / 210, False),  # even count: the middle two
            ([120], [100], 120, 100, 1.2, True),  # exactly at the limit passes
        ]
        for ours, bare, m_ours, m_bare, expected, ok in cases:
            with self.subTest(ours=ours, bare=bare):
                row = self.rows(ours, bare)["ready_ms"]
                self.assertEqual((row["ours"], row["bare"]), (m_ours, m_bare))
                self.assertAlmostEqual(row["ratio"], expected)
                self.assertIs(row["ok"], ok)

    def test_zero_floor(self):
        self.assertTrue(math.isinf(fp.ratio(10, 0)))
        self.assertIsNone(fp.ratio(0, 0))
        self.assertIsNone(self.rows([], [])["ready_ms"]["ratio"])
        self.assertIs(self.rows([], [])["ready_ms"]["ok"], False)

    def test_exe_size_target(self):
        for size, ok in ((284160, True), (284161, False)):  # no larger than 284,160 bytes
            with self.subTest(size=size):
                self.assertIs(self.rows([1], [1], {"ours": size, "bare": 15872})
                              ["exe32_bytes"]["ok"], ok)

    def test_markdown_shows_units_ratio_and_misses(self):
        text = fp.markdown_table(list(self.rows([400.0], [200.0]).values()))
        line = next(l for l in text.splitlines() if l.startswith('| Start to "Ready."'))
        self.assertIn("| ms | 400.0 | 200.0 | 2.00 | <= 1.2 | **no** |", line)


if __name__ == "__main__":
    unittest.main()

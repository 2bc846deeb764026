"""The accuracy benchmark's reading of Wine's lines and its verdicts (no Wine needed)."""

import unittest

import accuracy as ac

W = '0020:0024:warn:seh:OutputDebugStringW L"{0}"'
# What one OutputDebugStringW call shows on the seh channel: four lines.
ONE_CALL = "\n".join([W, W.replace("OutputDebugStringW", "dispatch_exception"),
                      W.replace("StringW L", "StringA "),
                      W.replace("OutputDebugStringW L", "dispatch_exception ")])
LINE = "{} estimate: offset=+5400.123ms bound=0.456ms source=header step=yes"
REFUSED = "0020:0024:err:sync:NtSetSystemTime not allowed: difference {} ms"
RELAYED = "0020:0024:Call ntdll.NtSetSystemTime(0063fdec,00000000) ret=7b65c0e9"
SERVICE = "0030:0034:warn:seh:OutputDebugStringW L\"" + LINE.format("ZelmoraClock") + '"\n' \
    + "0030:0034:err:sync:NtSetSystemTime not allowed: difference -3751 ms"


class ReadTrace(unittest.TestCase):
    def test_lines(self):
        header = {"offset": 5400.123, "bound": 0.456, "source": "header", "step": "yes",
                  "pid": 0x20}
        cases = [
            # (name, text, who, pid, estimates, refusals, set calls)
            ("one wide call counts once", ONE_CALL.format(LINE.format("Zelmora")), "Zelmora",
             None, [header], [], 0),
            ("kernel32's narrow call", '0020:0024:warn:debugstr:OutputDebugStringA "'
             + LINE.format("Zelmora") + '\\n"', "Zelmora", None, [header], [], 0),
            ("the refusal and the relayed call", "\n".join([REFUSED.format(5399), RELAYED]),
             "Zelmora", None, [], [(0x20, 5399)], 1),
            ("the service's line is not the program's", SERVICE, "Zelmora", None, [],
             [(0x30, -3751)], 0),
            ("the service's, by its process", ONE_CALL.format(LINE.format("Zelmora")) + "\n"
             + REFUSED.format(1) + "\n" + SERVICE, "ZelmoraClock", 0x30,
             [dict(header, pid=0x30)], [(0x30, -3751)], 0),
            ("without +pid", "0024:err:sync:NtSetSystemTime not allowed: difference -2 ms",
             "Zelmora", None, [], [(None, -2)], 0),
            ("an estimate on another channel", LINE.format("Zelmora"), "Zelmora", None, [], [],
             0),
        ]
        for name, text, who, pid, estimates, refusals, calls in cases:
            with self.subTest(name):
                trace = ac.read_trace(text, who, pid)
                self.assertEqual((trace.estimates, trace.refusals, trace.set_calls),
                                 (estimates, refusals, calls))


def run(offset_s, asked=None, source="header", bound=1.0, step="yes", calls=1, server=2.0):
    estimate = {"offset": offset_s * 1000, "bound": bound, "source": source, "step": step}
    return ac.Run(offset_s * 1000, asked, calls, [estimate] if source else [],
                  server_ms=server)


class Verdicts(unittest.TestCase):
    FIXED = ac.Scenario("precise", "", "http", dict, "fixed", "header", 5)
    BODY = ac.Scenario("plain", "", "http", dict, "body", "body")
    STILL = ac.Scenario("right", "", "http", dict, "still", "body")

    def test_rows(self):
        cases = [
            # (name, scenario, runs, ok, a note it must have)
            ("within 5 ms", self.FIXED, [run(5.4, 5403), run(-3.75, -3754)], True, None),
            ("6 ms off", self.FIXED, [run(5.4, 5406, bound=9)], False, None),
            ("beyond its own bound", self.FIXED, [run(5.4, 5403, bound=1)], True, "own bound"),
            ("the body read, not the header", self.FIXED, [run(5.4, 5401, source="body")],
             True, "source other than header"),
            ("no step where one was looked for", self.FIXED, [run(5.4), run(5.4, 5401)], False,
             "no step"),
            ("nothing to look at", self.FIXED, [run(5.4, source="", calls=None)], None,
             "could not look"),
            ("a body within half a second and half the trip", self.BODY,
             [run(5.4, 5400 + 503, source="body")], True, None),
            ("a body beyond it", self.BODY, [run(5.4, 5400 + 505, source="body")], False, None),
            ("a right clock left alone", self.STILL, [run(0, step="no", calls=0)], True, None),
            ("a small step Wine takes silently", self.STILL, [run(0, step="no", calls=1)],
             False, "a step asked"),
            ("a right clock nobody looked at", self.STILL,
             [run(0, source="", calls=None)], None, "could not look"),
        ]
        for name, scenario, runs, ok, note in cases:
            with self.subTest(name):
                row = ac.summarize(scenario, runs, wanted=len(runs))
                self.assertIs(row["ok"], ok, row)
                if note:
                    self.assertIn(note, "; ".join(row["notes"]))

    def test_stopped_early_is_never_met(self):
        row = ac.summarize(self.FIXED, [run(5.4, 5401)], "the window is gone", wanted=10)
        self.assertIsNone(row["ok"])
        self.assertEqual(ac.summarize(self.FIXED, [], "no TLS build")["why_not"], "no TLS build")


if __name__ == "__main__":
    unittest.main()

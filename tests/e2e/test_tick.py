"""End-to-end tests of the clock timer: the running clock label and automatic synchronisation.

Automatic synchronisation works in minutes, so these tests wait for minutes: each class
starts the program once and follows one timeline, reading the time server's request log
(request heads are time-stamped as they arrive) and the status line.

Under Wine a process may move the clock by less than half a second only: a page at the
current second is a "good" page (the set succeeds and changes nothing), a page a few
seconds off is refused ("Cannot set ..."), which counts as a failed attempt.
"""

import re
import time
import unittest
from datetime import datetime
from typing import Callable, Optional

import harness
import timeserver as ts
from harness import (CANNOT_GET, CANNOT_SET, CHK_AUTO, GETTING_TIME, LBL_INFO, LBL_TIME, READY,
                     UPDATED)
# The prefix runs in English (United States): h:mm:ss AM/PM.
CLOCK_TEXT = re.compile(r"^\d{1,2}:\d{2}:\d{2} [AP]M$")

# With an interval of one minute the next set is due once the rounded seconds since the
# last set exceed 60, that is from 60.5 s on; the tick comes every 50 ms.
DUE_AFTER_SET = 60.5
RETRY_PAUSE = 60.0
# Slack for timer ticks, scheduling under load, and the two processes' clocks.
LATE = 1.5
EARLY = 0.1

# A failing page: the server answers, but with nothing that holds a time.
NOT_FOUND_BODY = "<p>Not found</p>"
NOT_FOUND = dict(status=404, body=NOT_FOUND_BODY)


def parse_clock(text: str) -> Optional[datetime]:
    """The local date and time a "h:mm:ss AM" text most likely means, or None."""
    return harness.parse_clock(text, formats=("%I:%M:%S %p",))


def timed_live_page(answered: list) -> Callable[[], str]:
    """A body callable: the live page, noting when each answer was made in answered."""
    def body():
        answered.append(time.time())
        return ts.page_with_time()
    return body


def wait_out_midnight(who: str, seconds: float):
    # The program counts in seconds since local midnight (from 0 before its first set): a
    # timeline across midnight, or in a day's first minute, behaves differently.
    now = datetime.now()
    since = (now - now.replace(hour=0, minute=0, second=0, microsecond=0)).total_seconds()
    wait = 86400 - since + 90 if since + seconds > 86400 - 5 else max(0.0, 90 - since)
    if wait:
        harness.log(f"{who}: {seconds:.0f} s from {now:%H:%M:%S} would cross local midnight; "
                    f"waiting {wait:.0f} s for it to pass")
        time.sleep(wait)


def bodies_in_turn(first: str, then: Callable[[], str]) -> Callable[[], str]:
    """A body callable: first for the first request, then() for every later one."""
    answered = []

    def body():
        answered.append(1)
        return first if len(answered) == 1 else then()
    return body


def gaps(requests: list) -> list:
    return [round(b.time - a.time, 3) for a, b in zip(requests, requests[1:])]


class TickTestCase(harness.SessionTestCase):
    TIMELINE = 0.0  # seconds from the class's start to its last test's end

    @classmethod
    def setUpClass(cls):
        wait_out_midnight(cls.__name__, cls.TIMELINE)
        super().setUpClass()

    def request_times(self, since: float) -> list:
        return [round(r.time - since, 3) for r in self.s.server.requests]

    def watch_status(self, seconds: float):
        """Starts following the status line (every change, time-stamped) for seconds."""
        return self.s.start_probe("watch", str(LBL_INFO), str(seconds))

    @staticmethod
    def changes(result: dict) -> list:
        """[(seconds since the watch began, text)] of a finished watch."""
        return [(c["ms"] / 1000, c["text"]) for c in result["changes"]]

    def set_auto(self, ticked: bool):
        """Ticks or unticks the automatic synchronisation with a real click."""
        dump = self.s.dump()
        if bool(self.s.control(CHK_AUTO, dump)["check"]) != ticked:
            self.s.click_control(CHK_AUTO, dump, settle=0)
        state = self.s.control(CHK_AUTO)["check"]
        self.assertEqual(state, 1 if ticked else 0, "the box after the click")


class ClockAndFailedAttempts(TickTestCase):
    """Started without automatic synchronisation; the box is then ticked by a click while the
    server answers with failing pages: attempts must keep a minute apart."""

    session_options = dict(registry={harness.SETTINGS_KEY: {"Interval": "1"}})
    TIMELINE = 2 * RETRY_PAUSE + 60

    def test_clock_label_counts_the_seconds_of_the_local_time(self):
        # The timer's first tick, a second after the start, sets the label.
        self.s.wait_for(lambda: self.s.probe("status")["time"] not in ("", "#"), 2,
                        message="the clock label after the start")
        watch = self.s.start_probe("watch", str(LBL_TIME), "3.5")
        shown = self.changes(self.s.finish_probe(watch, 30))
        texts = [text for _, text in shown]
        for text in texts:
            self.assertRegex(text, CLOCK_TEXT, f"clock label texts {shown}")
        clocks = [parse_clock(text) for text in texts]
        self.assertLess(abs((clocks[-1] - datetime.now()).total_seconds()), 2,
                        f"clock label shows {texts[-1]}, local time {datetime.now():%H:%M:%S}")
        # In 3.5 s the label changes three or four times, one second forward each time, and
        # a second after the previous change.
        self.assertIn(len(shown), (4, 5), f"clock label changes {shown}")
        for (t0, _), (t1, _), c0, c1 in zip(shown[1:], shown[2:], clocks[1:], clocks[2:]):
            self.assertEqual((c1 - c0).total_seconds(), 1, f"clock label changes {shown}")
            self.assertAlmostEqual(t1 - t0, 1.0, delta=0.25, msg=f"clock label changes {shown}")

    def test_failed_attempts_are_a_minute_apart_and_stay_shown(self):
        # Three attempts: the first one cannot read the page, the next two are refused by
        # the clock; both kinds of failure must hold the next attempt back for a minute.
        observe = 2 * RETRY_PAUSE + 8
        self.assertEqual(self.s.status(), READY, "status before the box is ticked")
        delay = 0.3  # keeps "Getting Time..." up long enough to be seen every time
        self.s.server.reset()
        self.s.server.configure(delay=delay,
                                body=bodies_in_turn(NOT_FOUND_BODY, ts.live_page(5)))
        watch = self.watch_status(observe)
        clicked = time.time()
        self.set_auto(True)
        requests = self.s.server.wait_for_requests(1, 5)
        self.assertEqual(len(requests), 1, "one attempt once the box is ticked "
                                            "(the last set, never, is long ago)")
        self.assertLess(requests[0].time - clicked, 2, "the attempt follows the click")
        status = self.changes(self.s.finish_probe(watch, observe + 30))
        requests = self.s.server.requests
        harness.log(f"requests at {self.request_times(clicked)} s after the click; "
                    f"status {status}")

        self.assertEqual(len(requests), 3, f"attempts in {observe:.0f} s: requests at "
                                           f"{self.request_times(clicked)} s after the click")
        for gap in gaps(requests):
            self.assertGreaterEqual(gap, delay + RETRY_PAUSE - EARLY,
                                    f"time between attempts {gaps(requests)}")
            self.assertLess(gap, delay + RETRY_PAUSE + LATE,
                            f"time between attempts {gaps(requests)}")
        texts = [text for _, text in status]
        self.assertEqual(texts, [READY, GETTING_TIME, CANNOT_GET, GETTING_TIME, CANNOT_SET,
                                 GETTING_TIME, CANNOT_SET], f"status line changes {status}")
        # Between two attempts the failure stays shown for the whole pause.
        for (shown, text), (replaced, _) in ((status[i], status[i + 1]) for i in (2, 4)):
            self.assertGreaterEqual(replaced - shown, RETRY_PAUSE - EARLY,
                                    f"{text!r} shown only {replaced - shown:.2f} s: {status}")


class AutomaticSynchronization(TickTestCase):
    """Started with automatic synchronisation every minute against a good page: set at the
    start, again a little over a minute later; unticking the box stops it."""

    session_options = dict(registry={harness.SETTINGS_KEY: {"Auto": "1", "Interval": "1"}},
                           start_program=False)
    TIMELINE = 2 * DUE_AFTER_SET + 60

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Answer just after a second boundary, so that page and clock agree to the second.
        cls.answered = []
        cls.s.server.configure(body=timed_live_page(cls.answered), align_to_second=True)
        cls.started = time.time()
        # The window shows only until the start's synchronisation hides it into the tray.
        cls.s.start_program(wait=False)

    def test_synchronises_at_start_and_again_after_the_interval(self):
        first = self.s.server.wait_for_requests(1, 10)
        self.assertTrue(first, "no synchronisation at the start")
        status = self.s.wait_status(lambda t: t != GETTING_TIME, 10, "the start's outcome")
        self.assertRegex(status, UPDATED, "status after the synchronisation at the start")
        harness.wait_shown(self.s, False)

        requests = self.s.server.wait_for_requests(2, DUE_AFTER_SET + 10)
        times = self.request_times(self.started)
        self.assertEqual(len(requests), 2, f"requests at {times} s after the start")
        set_at = self.answered[0]
        harness.log(f"requests at {times} s after the start; the second "
                    f"{requests[1].time - set_at:.3f} s after the first set")
        self.assertGreater(requests[1].time - requests[0].time, 60,
                           f"requests at {times} s after the start")
        self.assertLess(requests[1].time - requests[0].time, 63,
                        f"requests at {times} s after the start")
        # Due once the rounded time since the set exceeds the interval, not before, and not
        # a whole second later.
        self.assertGreaterEqual(requests[1].time - set_at, DUE_AFTER_SET - EARLY,
                                f"second attempt {requests[1].time - set_at:.3f} s after the set")
        self.assertLess(requests[1].time - set_at, DUE_AFTER_SET + 0.45,
                        f"second attempt {requests[1].time - set_at:.3f} s after the set")
        status = self.s.wait_status(lambda t: t != GETTING_TIME, 10, "the outcome")
        match = UPDATED.match(status)
        self.assertIsNotNone(match, f"status after the second synchronisation: {status!r}")
        shown = parse_clock(match.group(1))
        self.assertLess(abs(shown.timestamp() - self.answered[1]), 2.5,
                        f"time in {status!r}, set at {time.ctime(self.answered[1])}")
        time.sleep(2)
        self.assertEqual(len(self.s.server.requests), 2, "requests right after the set")

    def test_unticking_the_box_stops_automatic_synchronisation(self):
        requests = self.s.server.wait_for_requests(1, 10)
        self.assertTrue(requests, "no synchronisation at the start")
        self.s.wait_status(lambda t: t != GETTING_TIME, 10, "the last outcome")
        last_set = self.answered[-1]
        if not self.s.probe("status")["visible"]:
            harness.show_with_icon(self.s)
        self.set_auto(False)
        self.assertLess(time.time(), last_set + DUE_AFTER_SET - 1,
                        "the box was unticked too late to tell")
        before = len(self.s.server.requests)
        status = self.s.status()

        # Wait past the moment the next set would have been due.
        time.sleep(max(0.0, last_set + DUE_AFTER_SET + 3 - time.time()))
        self.assertEqual(self.request_times(last_set)[before:], [],
                         "requests after unticking (seconds after the last set)")
        self.assertEqual(self.s.status(), status, "status line after unticking")

        # Ticked again, the overdue set happens at once: the quiet minute was the box's doing.
        clicked = time.time()
        self.set_auto(True)
        requests = self.s.server.wait_for_requests(before + 1, 5)
        self.assertEqual(len(requests), before + 1, "one attempt once the box is ticked again")
        self.assertLess(requests[-1].time - clicked, 2, "the attempt follows the click")
        self.assertRegex(self.s.wait_status(lambda t: t != GETTING_TIME and t != status, 10,
                                            "the outcome"), UPDATED)


class FailedStartSynchronization(TickTestCase):
    """Started with automatic synchronisation on while the server fails: the failed
    synchronisation at the start is an automatic attempt like any other."""

    session_options = dict(registry={harness.SETTINGS_KEY: {"Auto": "1", "Interval": "1"}},
                           start_program=False)

    QUIET = 10  # seconds watched after the start; a minute's pause is due
    TIMELINE = QUIET + 30

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.s.server.configure(**NOT_FOUND)
        cls.started = time.time()
        # The window shows only until the failed start's synchronisation hides it.
        cls.s.start_program(wait=False)

    def test_no_second_attempt_right_after_a_failed_start(self):
        self.s.server.wait_for_requests(1, 10)
        time.sleep(max(0.0, self.started + self.QUIET - time.time()))
        self.assertEqual(self.s.status(), CANNOT_GET, "status after the failed start")
        self.assertEqual(len(self.request_times(self.started)), 1,
                         f"requests in the first {self.QUIET} s, at "
                         f"{self.request_times(self.started)} s after the start")


if __name__ == "__main__":
    unittest.main()

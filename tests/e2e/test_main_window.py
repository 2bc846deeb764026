"""End-to-end tests of the main window: its looks, keyboard, links and time operations.

Each class runs one copy of the program under Wine (see harness.py); the time page is
served by the test itself on the loopback port the program was built for.
"""

import time
import unittest
from datetime import datetime
from types import SimpleNamespace
from typing import Callable, Optional

import harness
import timeserver as ts
from harness import (CANNOT_GET, CANNOT_SET, CHK_AUTO, CHK_AUTORUN, CMD_CHECK, CMD_SYNCHRONIZE,
                     GETTING_TIME, IMAGE1, INACCURATE, LABEL2, LBL_INFO, LBL_README, LBL_TIME,
                     LBL_VERSION, LBL_WEBSITE, POLICY_KEY, PREFERENCE_KEY, READY, RUN_KEY,
                     RUN_VALUE, SETTINGS_KEY, STEP_TOO_FAR, TIME_OK, TXT_INTERVAL, UPDATED,
                     parse_clock, plain, reg_value, set_managed, stored_settings)
ALL_OUTCOMES = (TIME_OK, CANNOT_GET, CANNOT_SET)

WHITE = tuple(harness.FACTS["windowBackground"])
RED = tuple(harness.FACTS["linkRed"])
BUTTON_FACE = tuple(harness.FACTS["buttonFace"])

# Window styles the checks below look at.
WS_TABSTOP = 0x00010000
WS_EX_CLIENTEDGE = 0x00000200
BS_TYPEMASK = 0x0F
BS_3STATE, BS_GROUPBOX, BS_OWNERDRAW = 0x05, 0x07, 0x0B
SS_TYPEMASK = 0x1F
SS_BITMAP = 0x0E
SS_NOTIFY = 0x100


# Texts right after a start without stored settings that differ from the layout table's.
SHOWN_AT_START = {TXT_INTERVAL: "30", LBL_TIME: None, LBL_INFO: READY}
# The window as it must look right after the start, as the program's layout table has it:
# id, kind, text (None: not checked), rect and font height in client pixels by DPI ("96",
# "120", "144"), font (None: the platform's own), color (None: the platform's).
LAYOUT = [SimpleNamespace(**dict(c, text=SHOWN_AT_START.get(c["id"], c["text"])))
          for c in harness.FACTS["controls"]]
COLORS = {e.id: e.color and tuple(e.color) for e in LAYOUT}
BLUE = COLORS[LBL_README]
TAB_ORDER = harness.FACTS["tabOrder"]
CLIENT_SIZE = harness.FACTS["clientSize"]


def inside(point, rect, margin: int = 0) -> bool:
    x, y = point
    left, top, width, height = rect
    return (left - margin <= x < left + width + margin and
            top - margin <= y < top + height + margin)


def content_size(image, rect) -> tuple:
    """Width and height of what differs from the colour at rect's top left corner."""
    left, top, width, height = rect
    corner = image.pixel(left, top)
    found = [(x, y) for y in range(top, top + height) for x in range(left, left + width)
             if image.pixel(x, y) != corner]
    return tuple(max(p[i] for p in found) - min(p[i] for p in found) + 1 if found else 0
                 for i in (0, 1))


def describe_colors(histogram: dict, n: int = 5) -> str:
    top = sorted(histogram.items(), key=lambda kv: -kv[1])[:n]
    return ", ".join(f"{c}x{k}" for c, k in top)


class MainWindowAtStart(harness.SessionTestCase):
    """The window right after the start: layout, fonts, colours, focus and keyboard."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Park the pointer on the desktop, away from the window and the taskbar.
        cls.s.move_pointer(5, 5)
        cls.first = cls.s.dump()
        cls.dpi = cls.first["dpi"]  # the window's own, read inside the program
        if cls.dpi is None:
            raise AssertionError(f"the program's DPI unread: {cls.first.get('fonts_error')}")
        cls.by_id = {c["id"]: c for c in cls.first["controls"]}

    def test_window_is_shown_untitled_with_the_client_size_of_the_layout(self):
        d = self.first
        self.assertTrue(d["visible"] and not d["iconic"], f"window state: {d}")
        self.assertEqual(d["title"], "", "the main window has no title")
        self.assertEqual(d["client_size"], CLIENT_SIZE[str(self.dpi)],
                         f"client area at {self.dpi} DPI")
        if self.dpi == 96:
            self.assertEqual(d["client_size"], [500, 299])

    def test_every_control_matches_the_layout(self):
        self.assertEqual(sorted(self.by_id), sorted(e.id for e in LAYOUT),
                         "the window's child controls")
        for e in LAYOUT:
            with self.subTest(control=e.id, text=e.text):
                c = self.by_id[e.id]
                if e.text is not None:
                    self.assertEqual(c["text"], e.text, f"text of control {e.id}")
                self.assertTrue(c["visible"] and c["enabled"], f"{e.text!r}: {c}")
                self.check_kind(e, c)
                self.check_place_and_font(e, c, self.dpi)

    def check_kind(self, e: SimpleNamespace, c: dict):
        style = c["style"]
        what = f"{e.text!r} ({e.kind}) is {c['class']} with style {style:#x}"
        if e.kind == "frame":
            self.assertTrue(c["class"] == "Button" and style & BS_TYPEMASK == BS_GROUPBOX, what)
        elif e.kind == "check":
            # Three states: a stored setting may load the greyed one.
            self.assertTrue(c["class"] == "Button" and style & BS_TYPEMASK == BS_3STATE, what)
            self.assertTrue(style & WS_TABSTOP, what)
            self.assertEqual(c["check"], 0, f"{e.text!r} starts unchecked without settings")
        elif e.kind == "text":
            self.assertEqual(c["class"], "Edit", what)
            self.assertTrue(c["exstyle"] & WS_EX_CLIENTEDGE, what)
        elif e.kind == "button":
            self.assertTrue(c["class"] == "Button" and style & BS_TYPEMASK == BS_OWNERDRAW, what)
        elif e.kind == "picture":
            self.assertTrue(c["class"] == "Static" and style & SS_TYPEMASK == SS_BITMAP, what)
        else:  # labels and links report clicks
            self.assertTrue(c["class"] == "Static" and style & SS_NOTIFY, what)

    def check_place_and_font(self, e: SimpleNamespace, c: dict, dpi: int):
        self.assertEqual(c["rect"], e.rect[str(dpi)],
                         f"rectangle of {e.text!r} (left, top, width, height) at {dpi} DPI")
        if not e.font:
            return
        font = c["font"]
        self.assertIsNotNone(font, f"{e.text!r}: font not readable "
                                   f"({self.first.get('fonts_error')})")
        actual = (font["face"], font["height"], font["weight"] >= 700, font["italic"],
                  font["underline"])
        wanted = (harness.FACTS["fontFace"], -e.font["height"][str(dpi)],
                  e.font["bold"], e.font["italic"], e.font["underline"])
        self.assertEqual(actual, wanted,
                         f"font of {e.text!r} as (face, height, bold, italic, underline); "
                         f"{e.font['points']} pt at {dpi} DPI")

    def test_interval_box_lies_in_front_of_its_check_box(self):
        # The two overlap; the box must get the clicks there, and be drawn on top.
        box, check = self.by_id[TXT_INTERVAL], self.by_id[CHK_AUTO]
        self.assertLess(box["zorder"], check["zorder"], "z-order (0 is the front)")
        self.s.click_control(TXT_INTERVAL)
        d = self.s.dump()
        self.assertEqual(d["focus_id"], TXT_INTERVAL, "focus after a click on the interval box")
        self.assertEqual(self.s.control(CHK_AUTO, d)["check"], 0,
                         "a click on the interval box must not toggle the check box under it")

    def test_status_is_ready_and_the_clock_runs(self):
        self.assertEqual(self.by_id[LBL_INFO]["text"], READY, "status line after the start")
        shown = self.s.wait_for(lambda: self.clock_text(), 5, message="the clock label's time")
        clock = parse_clock(shown)
        self.assertIsNotNone(clock, f"clock label shows {shown!r}, not a time")
        self.assertLess(abs((clock - datetime.now()).total_seconds()), 3,
                        f"clock label shows {shown!r}, local time is {datetime.now():%H:%M:%S}")
        later = self.s.wait_for(lambda: (t := self.clock_text()) != shown and t, 3,
                                message="the clock label to move on")
        self.assertIsNotNone(parse_clock(later), f"clock label then shows {later!r}")

    def clock_text(self) -> Optional[str]:
        text = self.s.probe("status")["time"]
        return text if text not in ("", "#") else None

    def test_colors(self):
        shot = self.s.screenshot("start")
        ox, oy = self.first["client_origin"]
        controls = self.first["controls"]

        with self.subTest("bare client area is white"):
            width, height = self.first["client_size"]
            wrong = []
            for y in range(1, height - 1, 6):
                for x in range(1, width - 1, 6):
                    if any(inside((x, y), c["rect"], margin=2) for c in controls):
                        continue
                    pixel = shot.pixel(ox + x, oy + y)
                    if pixel != WHITE:
                        wrong.append(((x, y), pixel))
            self.assertFalse(wrong, f"non-white bare client pixels (client x, y): {wrong[:10]}")

        # Texts: the label's own colour in the solid parts of its strokes; white behind.
        for control_id, name in ((LABEL2, "title"), (LBL_VERSION, "version"),
                                 (LBL_README, "Readme link"), (LBL_WEBSITE, "Website link")):
            color = COLORS[control_id]
            with self.subTest(name):
                colors = shot.colors(self.by_id[control_id]["screen_rect"])
                self.assertGreaterEqual(colors.get(color, 0), 20,
                                        f"{name}: pixels of {color}; "
                                        f"colours {describe_colors(colors)}")
                self.assertEqual(max(colors, key=colors.get), WHITE,
                                 f"{name}: background; colours {describe_colors(colors)}")
                self.assertNotIn(RED, colors, f"{name}: red before any hover")

        with self.subTest("logo"):
            self.check_logo(shot)

        for control_id in (CMD_CHECK, CMD_SYNCHRONIZE):
            with self.subTest("button face", control=control_id):
                left, top, width, height = self.by_id[control_id]["screen_rect"]
                face = [left + 3, top + 3, width - 6, height - 6]
                colors = shot.colors(face)
                share = colors.get(BUTTON_FACE, 0) / max(1, sum(colors.values()))
                self.assertGreater(share, 0.6, f"button {control_id} face; colours "
                                               f"{describe_colors(colors)}")

    def check_logo(self, shot):
        """Centred in its control: its own pixels at 96 DPI, resampled at any other."""
        logo = harness.read_png(harness.REPO / "resources" / "logo.gif")
        natural = logo.pixels([0, 0, logo.width, logo.height])
        width, height = ((n * self.dpi + 48) // 96 for n in (logo.width, logo.height))
        left, top, box_width, box_height = self.by_id[IMAGE1]["screen_rect"]
        # The picture's size within its corner colour, which also fills the control's margin;
        # resampling may blur each edge by a pixel.
        drawn = content_size(shot, [left, top, box_width, box_height])
        natural_size = content_size(logo, [0, 0, logo.width, logo.height])
        wanted = [n * self.dpi / 96 for n in natural_size]
        self.assertTrue(all(abs(d - w) <= (0 if self.dpi == 96 else 2)
                            for d, w in zip(drawn, wanted)),
                        f"the logo's drawn width and height at {self.dpi} DPI: {drawn}, "
                        f"not {wanted}")
        shown = shot.pixels([left + (box_width - width) // 2, top + (box_height - height) // 2,
                             width, height])
        self.assertEqual(len(shown), width * height, "logo off the screen")
        if self.dpi == 96:
            wrong = sum(1 for a, b in zip(shown, natural) if a != b)
            self.assertEqual(wrong, 0, f"logo pixels unlike logo.gif (of {len(shown)})")
            return
        # Against the logo's pixel under each one's centre: resampling changes edges only.
        cols, rows = ([min(int((i + 0.5) * 96 / self.dpi), n - 1) for i in range(m)]
                      for m, n in ((width, logo.width), (height, logo.height)))
        under = [natural[r * logo.width + c] for r in rows for c in cols]
        mean = sum(abs(a - b) for p, q in zip(shown, under) for a, b in zip(p, q)) / len(shown)
        self.assertLess(mean, 30, f"logo at {self.dpi} DPI: mean R+G+B difference")  # unscaled: 84

    def test_a_dpi_change_lays_out_anew_and_back(self):
        """WM_DPICHANGED to another DPI and back, as on a move between two monitors."""
        harness.set_interval(self.s, "42")
        self.s.click_control(CHK_AUTORUN)
        self.addCleanup(harness.set_interval, self.s, SHOWN_AT_START[TXT_INTERVAL])
        self.addCleanup(lambda: self.s.control(CHK_AUTORUN)["check"] and
                        self.s.click_control(CHK_AUTORUN))
        before = self.s.dump()
        x, y, width, height = before["window_rect"]
        other = 144 if self.dpi != 144 else 96
        size = [n + a - b for n, a, b in  # the new client area in the borders as they are
                zip(CLIENT_SIZE[str(other)], (width, height), before["client_size"])]
        for dpi, frame in ((other, [x + 8, y + 6, *size]), (self.dpi, before["window_rect"])):
            with self.subTest(dpi=dpi):
                self.assertTrue(self.s.probe("dpi-changed", *map(str, (dpi, *frame)))["ok"])
                after = self.s.dump()
                self.assertEqual(after["window_rect"], frame, "the suggested window rectangle")
                by_id = {c["id"]: c for c in after["controls"]}
                for e in LAYOUT:
                    self.check_place_and_font(e, by_id[e.id], dpi)
                self.assertEqual((by_id[TXT_INTERVAL]["text"], by_id[CHK_AUTORUN]["check"]),
                                 ("42", 1), "the interval typed and the check box checked")
                if dpi == self.dpi:
                    self.assertEqual({c["id"]: c["rect"] for c in after["controls"]},
                                     {c["id"]: c["rect"] for c in before["controls"]},
                                     "back where they were")

    def test_initial_focus_is_on_check(self):
        self.assertEqual(self.first["focus_id"], CMD_CHECK)
        self.assertTrue(self.first["foreground"], "the window starts in the foreground")

    def test_tab_and_shift_tab_follow_the_tab_order(self):
        start = self.s.dump()["focus_id"]
        self.assertIn(start, TAB_ORDER, "focus before pressing Tab")
        for key, step in (("Tab", 1), ("shift+Tab", -1)):
            with self.subTest(key=key):
                current = self.s.dump()["focus_id"]
                seen, wanted = [], []
                for _ in range(len(TAB_ORDER)):
                    self.s.key(key)
                    seen.append(self.s.dump()["focus_id"])
                    current = TAB_ORDER[(TAB_ORDER.index(current) + step) % len(TAB_ORDER)]
                    wanted.append(current)
                self.assertEqual(seen, wanted, f"focus after each {key}")


# Where the screen's dots per inch are set.
DPI_KEYS = (r"HKCU\Control Panel\Desktop",
            r"HKLM\System\CurrentControlSet\Hardware Profiles\Current\Software\Fonts")


class MainWindowAt120Dpi(MainWindowAtStart):
    """The same checks with the screen at 120 DPI (125 %): every twip converted anew."""

    DPI = 120

    @classmethod
    def setUpClass(cls):
        cls.session_options = dict(registry=dict.fromkeys(DPI_KEYS, {"LogPixels": cls.DPI}))
        super().setUpClass()

    def test_the_program_sees_the_screens_dpi(self):
        self.assertEqual((self.first["screen_dpi"], self.dpi), (self.DPI, self.DPI),
                         "the screen's DPI and the program's window's")


class MainWindowAt144Dpi(MainWindowAt120Dpi):
    """The same checks at 144 DPI (150 %)."""

    DPI = 144


def slow_plain_page(seconds: float) -> Callable[[], str]:
    """A body callable: the page as it takes its time, answered seconds later."""
    def body():
        page = ts.page_with_time()
        time.sleep(seconds)
        return page
    return body


class TimeOperations(harness.SessionTestCase):
    """Check and Synchronize against a page that is right, a little off, or far off."""

    session_options = dict(trace=("seh",))  # the program's estimates (OutputDebugString)

    def setUp(self):
        super().setUp()
        self.page_off_by(0)

    def page_off_by(self, seconds: int):
        # Answer just after a second boundary so the page and the clock are read in the same
        # second; otherwise a rollover adds a second of difference now and then.
        self.s.server.reset()
        self.s.server.configure(body=ts.live_page(seconds), align_to_second=True)

    def test_check_accepts_a_difference_of_at_most_one_second(self):
        for offset in (0, 1, -1):
            with self.subTest(offset=offset):
                self.page_off_by(offset)
                op = self.s.operate(CMD_CHECK)
                self.assertEqual(op.final, TIME_OK, f"page {offset:+} s: statuses {op.statuses}")
                self.assertEqual(len(self.s.server.requests), 1, "one download when the time is ok")

    def test_through_the_users_proxy(self):
        """A real proxy named in the user's Internet Settings, as many offices have one."""
        cases = [
            # (name, proxy up, button, page offset, bypass list, outcome, each request by proxy)
            ("Check", True, CMD_CHECK, 0, "", TIME_OK, [True]),
            # Wine sets no clock that far off: taken, the set is refused.
            ("Synchronize", True, CMD_SYNCHRONIZE, 7200, "", CANNOT_SET, [True]),
            ("the proxy down", False, CMD_SYNCHRONIZE, 7200, "", CANNOT_GET, []),
            ("the page's host in the bypass list", False, CMD_CHECK, 0, "127.0.0.1", TIME_OK,
             [False]),
        ]

        def check(proxy, button, offset, bypass, outcome, by_proxy):
            if bypass:
                harness.set_users_proxy(self.s, proxy.address, bypass)
            self.page_off_by(offset)
            op = self.s.operate(button)
            self.assertEqual(op.final, outcome, op.statuses)
            self.assertEqual([ts.via_proxy(r) for r in self.s.server.requests], by_proxy,
                             "requests for the page, each by way of the proxy or not")
        self.through_proxy(lambda address: harness.set_users_proxy(self.s, address), cases, check)

    def test_check_confirms_a_larger_difference_with_a_second_download(self):
        for offset in (3, -3):
            with self.subTest(offset=offset):
                self.page_off_by(offset)
                op = self.s.operate(CMD_CHECK)
                match = INACCURATE.match(op.final)
                self.assertIsNotNone(match, f"page {offset:+} s: statuses {op.statuses}")
                self.assertIn(int(match.group(1)), (2, 3, 4), op.final)
                requests = self.s.server.requests
                self.assertEqual(len(requests), 2, "a second download confirms the difference")
                gap = requests[1].time - requests[0].time
                self.assertGreaterEqual(gap, 0.45, "half a second between the two downloads")
                self.assertIn(GETTING_TIME, op.statuses)

    def test_synchronize_with_the_page_at_the_current_second(self):
        op = self.s.operate(CMD_SYNCHRONIZE)
        if op.final == CANNOT_SET and self.may_retry_after_rollover(
                "Synchronize", self.s.server.exchanges[-1].first_byte_at, op.ended_at):
            op = self.s.operate(CMD_SYNCHRONIZE)
        match = UPDATED.match(op.final)
        self.assertIsNotNone(match, f"statuses {op.statuses}")
        shown = match.group(1)
        self.assertRegex(shown, r"^\d{1,2}:\d{2}:\d{2} [AP]M$", "time in the message (h:mm:ss AM)")
        clock = parse_clock(shown)
        self.assertLess(abs((clock - datetime.now()).total_seconds()), 3,
                        f"message shows {shown}, local time {datetime.now():%H:%M:%S}")

    def test_synchronize_to_a_page_far_off_fails_to_set_the_clock(self):
        # Wine lets a process move the clock by less than half a second only.
        for offset in (5, -5):
            with self.subTest(offset=offset):
                self.page_off_by(offset)
                op = self.s.operate(CMD_SYNCHRONIZE)
                self.assertEqual(op.final, CANNOT_SET, f"page {offset:+} s: statuses {op.statuses}")

    def test_synchronize_steps_only_as_far_as_the_page_can_tell(self):
        """What the program asked Windows for, as Wine logs each step it refuses (half a second
        or more): a precise page a known fraction off is met within 5 ms; a clock within the
        estimate's bound is never stepped."""
        target = harness.slower(5)
        cases = [
            # (name, server settings, runs, the step in ms or None for none, estimate source)
            ("a precise page 5.4 s ahead", ts.precise_page(5.4), 1, 5400, "header"),
            ("T3 alone, 3.75 s behind", ts.precise_page(-3.75, "t3"), 1, -3750, "header"),
            ("a right clock behind a slow plain page", dict(body=slow_plain_page(0.4)), 3, None,
             "body"),
            ("a header 30 s from the body", dict(body=ts.live_page(0), clock_header="both",
                                                clock_offset=30), 1, None, "body"),
        ]
        for name, settings, runs, step, source in cases:
            for run in range(runs):
                with self.subTest(name, run=run):
                    self.s.server.reset()
                    self.s.server.configure(**settings)
                    since = self.s.log_size()
                    op = self.s.operate(CMD_SYNCHRONIZE)
                    refused, estimates = self.s.clock_log(since)
                    self.assertEqual([(e["source"], e["step"]) for e in estimates],
                                     [(source, "no" if step is None else "yes")], estimates)
                    if step is None:
                        self.assertRegex(op.final, UPDATED, op.statuses)
                        self.assertEqual(refused, [], "steps asked of a right clock")
                        continue
                    self.assertEqual(op.final, CANNOT_SET, op.statuses)
                    self.assertEqual(len(refused), 1, refused)
                    bound = float(estimates[0]["bound"])
                    self.assertLess(bound, target, estimates)
                    self.assertLessEqual(abs(refused[0] - step), target, (refused, estimates))

    def test_getting_time_is_shown_while_the_page_loads(self):
        self.s.server.configure(body=ts.live_page(0), delay=1.5)
        op = self.s.operate(CMD_CHECK)
        self.assertEqual(op.final, TIME_OK, f"statuses {op.statuses}")
        self.assertEqual(op.statuses[-2:], [GETTING_TIME, TIME_OK], "status line sequence")
        self.assertGreaterEqual(op.seconds, 1.4, "the outcome came before the page")


class ManagedByPolicy(harness.SessionTestCase):
    """What an administrator sets under HKLM (policy, then the machine's preference): the page,
    the controls a policy fixes, the largest step, and the retry soon after a resume."""

    session_options = dict(trace=("seh",))  # the steps Wine refuses

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.other = ts.TimeServer(harness.port() + 2000)
        cls.other.start()
        cls.addClassCleanup(cls.other.stop)
        cls.other_page = f"http://127.0.0.1:{cls.other.port}/cgi-bin/timer.pl"

    def setUp(self):
        super().setUp()
        for server in (self.s.server, self.other):
            server.reset()
            server.configure(body=ts.live_page(0), align_to_second=True)
        self.addCleanup(set_managed, self.s, {}, {})
        state = harness.window_state(self.s)
        if state["iconic"] or not state["visible"]:
            harness.show_with_icon(self.s)

    def test_after_a_resume_a_failed_synchronisation_is_tried_again_within_seconds(self):
        # The program's pauses run on the wall clock, whatever the emulation's speed: a retry
        # within SOON is the resume's (3 s, then 6), the minute's pause would come later.
        soon = 20
        server = self.s.server
        requests = lambda: len(server.requests)  # noqa: E731
        resume = ("post", "0x218", "18", "0")  # WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC
        server.configure(status=503, body="down")
        set_managed(self.s, {"AutoSync": 1, "Interval": 1}, {})
        self.s.wait_for(requests, harness.slower(10), message="the due synchronisation")
        server.configure(status=200, body=ts.live_page(0), align_to_second=True)
        time.sleep(soon)
        self.assertEqual(requests(), 1, "without a resume the failure's minute is waited out")
        server.configure(status=503, body="down")
        resumed = time.time()
        self.s.probe(*resume)
        self.s.wait_for(lambda: requests() >= 2, soon, message="a retry after the resume")
        server.configure(status=200, body=ts.live_page(0), align_to_second=True)
        came_back = time.time()
        # The page taken: set, or (the second rolled over) a set Wine refused.
        self.s.wait_for(lambda: requests() >= 3 and (UPDATED.match(self.s.status()) or
                                                     self.s.status() == CANNOT_SET),
                        soon, message="a synchronisation after the page came back")
        times = [r.time for r in server.requests]
        self.assertLess(times[1] - resumed, soon, "the retry after the resume")
        self.assertLess(times[2] - came_back, soon, "the synchronisation after the page's return")
        self.assertGreaterEqual(min(b - a for a, b in zip(times[1:], times[2:])), 2.5,
                                "more than one attempt within a few seconds")

    def test_the_page_an_administrator_set_and_no_other(self):
        cases = [
            # (name, policy, preference, outcome, requests to the built-in page, to the other)
            ("the preference", {}, {"TimePage": self.other_page}, TIME_OK, 0, 1),
            ("the policy over the preference", {"TimePage": self.other_page},
             {"TimePage": "http://127.0.0.1:9/cgi-bin/timer.pl"}, TIME_OK, 0, 1),
            ("a policy with a blank: nothing fetched", {"TimePage": self.other_page + " x"},
             {"TimePage": self.other_page}, CANNOT_GET, 0, 0),
            ("a number for the page: nothing fetched", {"TimePage": 1}, {}, CANNOT_GET, 0, 0),
            ("withdrawn: the built-in page", {}, {}, TIME_OK, 1, 0),
        ]
        for name, policy, preference, outcome, built_in, other in cases:
            with self.subTest(name):
                set_managed(self.s, policy, preference)
                for server in (self.s.server, self.other):
                    server.reset()
                    server.configure(body=ts.live_page(0), align_to_second=True)
                op = self.s.operate(CMD_CHECK)
                self.assertEqual(op.final, outcome, op.statuses)
                self.assertEqual((len(self.s.server.requests), len(self.other.requests)),
                                 (built_in, other), "requests (built-in page, the other)")

    def test_a_policy_fixes_its_control_and_leaves_the_users_own(self):
        close = ("post", "WM_CLOSE", "0", "0")  # the close box's message: saves, then hides
        harness.set_interval(self.s, "20")
        self.s.probe(*close)
        self.s.wait_for(lambda: stored_settings(self.s)["Interval"], 10, message="the save")
        set_managed(self.s, {"Interval": 45, "AutoRun": 1}, {})
        shown = {c["id"]: c for c in self.s.dump()["controls"]}
        self.assertEqual((shown[TXT_INTERVAL]["text"], shown[TXT_INTERVAL]["enabled"]),
                         ("45", False))
        self.assertEqual((shown[CHK_AUTORUN]["check"], shown[CHK_AUTORUN]["enabled"]), (1, False))
        self.assertTrue(shown[CHK_AUTO]["enabled"], "a control no policy fixes")
        # The second save shows as Auto stored again; the autorun value is not rewritten.
        self.s.reg_delete(SETTINGS_KEY, "Auto")
        self.s.reg_delete(RUN_KEY, RUN_VALUE)
        self.s.probe(*close)
        self.s.wait_for(lambda: stored_settings(self.s)["Auto"], 10, message="the second save")
        saved = stored_settings(self.s)
        self.assertEqual((plain(saved["Interval"]), plain(saved["AutoRun"])), ("20", "0"),
                         "the user's own interval and autorun")
        self.assertIsNone(reg_value(self.s, RUN_KEY, RUN_VALUE), "an autorun value written")
        set_managed(self.s, {}, {})
        shown = {c["id"]: c for c in self.s.dump()["controls"]}
        self.assertEqual((shown[TXT_INTERVAL]["text"], shown[TXT_INTERVAL]["enabled"]),
                         ("20", True), "the user's own again")

    def test_a_step_further_than_the_policy_allows_is_not_asked_for(self):
        cases = [
            # (name, MaxStepSeconds, page offset, outcome, steps asked of Wine)
            ("within it: asked (and refused by Wine)", 120, 60, CANNOT_SET, 1),
            ("beyond it, ahead", 30, 60, STEP_TOO_FAR, 0),
            ("beyond it, behind", 30, -60, STEP_TOO_FAR, 0),
        ]
        for name, limit, offset, outcome, steps in cases:
            with self.subTest(name):
                set_managed(self.s, {"MaxStepSeconds": limit}, {})
                self.s.server.reset()
                self.s.server.configure(body=ts.live_page(offset), align_to_second=True)
                since = self.s.log_size()
                op = self.s.operate(CMD_SYNCHRONIZE)
                self.assertEqual(op.final, outcome, op.statuses)
                self.assertEqual(len(self.s.clock_log(since)[0]), steps, "steps asked of Wine")


def padded_page(length: int, marker: str = " UTC") -> Callable[[], str]:
    """A body callable: exactly length characters with the current time before marker."""
    def body():
        core = f"<p>{ts.utc_clock_text()}{marker}</p>"
        return core + "." * (length - len(core))
    return body


class ServerAnswers(harness.SessionTestCase):
    """Pages the program must refuse, and servers that fail; the window stays usable."""

    def setUp(self):
        super().setUp()
        self.fresh_server()

    def test_page_contents(self):
        cases = [
            ("99 characters", dict(body=padded_page(99)), CANNOT_GET),
            ("100 characters", dict(body=padded_page(100)), TIME_OK),
            ("no ' UTC'", dict(body=padded_page(200, marker=" GMT")), CANNOT_GET),
            ("' utc' in lower case", dict(body=padded_page(200, marker=" utc")), TIME_OK),
            ("empty body", dict(mode=ts.NO_BODY), CANNOT_GET),
            ("connection closed mid-body", dict(mode=ts.CLOSE_MID_BODY), CANNOT_GET),
        ]
        for name, settings, wanted in cases:
            with self.subTest(name):
                self.s.server.reset()
                self.s.server.configure(align_to_second=True, **settings)
                op = self.s.operate(CMD_CHECK)
                self.assertEqual(op.final, wanted, f"{name}: statuses {op.statuses}")
                self.assertTrue(self.s.responsive(), "the window answers messages")

    def test_huge_page_is_read_only_up_to_64_kib(self):
        cases = [
            ("time at the start", lambda: ts.page_with_time(), TIME_OK),
            # The only time lies beyond the first 64 KiB, which is all the program reads.
            ("time after 64 KiB", lambda: "x" * (64 * 1024 + 100) + ts.page_with_time(),
             CANNOT_GET),
        ]
        for name, body, wanted in cases:
            with self.subTest(name):
                self.s.server.reset()
                self.s.server.configure(mode=ts.HUGE, body=body, huge_size=1 << 20,
                                        align_to_second=True)
                op = self.s.operate(CMD_CHECK, timeout=30)
                self.assertEqual(op.final, wanted, f"1 MiB page, {name}: statuses {op.statuses}")
                self.assertLess(op.seconds, 10, "time to read the page")
                self.assertTrue(self.s.responsive(), "the window answers messages")

    def test_unreachable_server(self):
        self.s.server.stop()
        self.addCleanup(self.s.server.start)
        op = self.s.operate(CMD_CHECK)
        self.assertEqual(op.final, CANNOT_GET, f"statuses {op.statuses}")
        self.assertTrue(self.s.responsive(), "the window answers messages")


class StalledServer(harness.SessionTestCase):
    """Servers that stall: the program freezes while it waits, but only for a bounded time."""

    LIMIT = harness.DOWNLOAD_LIMIT

    def setUp(self):
        super().setUp()
        self.s.server.reset()
        # Whatever happened, end the stalled download so the next test finds the window idle.
        self.addCleanup(self.s.recover, 30)

    def run_stalled(self, description: str):
        def sample_while_frozen():
            time.sleep(3)
            return self.s.probe("status")

        op = self.s.operate(CMD_CHECK, timeout=self.LIMIT, while_waiting=sample_while_frozen)
        during = op.during
        self.assertEqual(during["status"], GETTING_TIME, f"{description}: status while waiting")
        self.assertFalse(during["responsive"], f"{description}: the window is busy while waiting")
        self.assertTrue(op.finished,
                        f"{description}: no outcome {self.LIMIT} s after Check; the window "
                        f"stayed frozen for {op.seconds:.0f} s; statuses {op.statuses}")
        self.assertEqual(op.final, CANNOT_GET, f"{description}: statuses {op.statuses}")

    def test_server_that_never_answers(self):
        self.s.server.configure(mode=ts.HANG)
        self.run_stalled("server accepts and never answers")

    def test_server_that_trickles_one_byte_per_second(self):
        self.s.server.configure(mode=ts.DRIP, drip_interval=1.0)
        self.run_stalled("server sends one byte per second")

    def test_a_download_held_past_its_limit_refuses_the_next(self):
        """A head trickled a byte a second holds the last download on past the window's limit:
        the next is refused at once rather than piled on."""
        self.s.server.configure(mode=ts.DRIP_HEAD, drip_interval=1.0)
        self.run_stalled("the head trickled")
        op = self.s.operate(CMD_SYNCHRONIZE, timeout=10)
        self.assertEqual((op.final, len(self.s.server.exchanges)), (CANNOT_GET, 1), op.statuses)


class Links(harness.SessionTestCase):
    """The Readme and Website links: red under the pointer, blue again over the bare window."""

    BARE = (150, 10)  # client point between the title and the window's top edge
    session_options = {"trace": ("exec",)}  # what the shell was asked to open

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.layout = cls.s.dump()

    def setUp(self):
        super().setUp()
        rects = [c["rect"] for c in self.layout["controls"]]
        self.assertFalse(any(inside(self.BARE, r, margin=3) for r in rects),
                         "the bare point lies on a control")

    def move_to_client(self, point):
        self.s.move_pointer(*self.s.client_to_screen(self.layout, *point))

    def move_to_control(self, control_id):
        self.s.move_pointer(*self.s.control_center(control_id, self.layout))

    def link_colors(self, shot, control_id) -> dict:
        return shot.colors(self.s.control(control_id, self.layout)["screen_rect"])

    def underline_color(self, shot, control_id):
        """The colour of the longest one-colour run in any row of the link: its underline."""
        left, top, width, height = self.s.control(control_id, self.layout)["screen_rect"]
        best, best_len = None, 0
        for y in range(top, top + height):
            run_color, run = None, 0
            for x in range(left, left + width):
                p = shot.pixel(x, y)
                run = run + 1 if p == run_color else 1
                run_color = p
                if p != WHITE and run > best_len:
                    best, best_len = p, run
        return best, best_len

    def assert_link(self, shot, control_id, color, context):
        underline, length = self.underline_color(shot, control_id)
        colors = self.link_colors(shot, control_id)
        self.assertEqual(underline, color, f"{context}: underline of link {control_id} "
                                           f"({length} px); colours {describe_colors(colors)}")
        self.assertGreaterEqual(length, 20, f"{context}: underline length of link {control_id}")
        other = RED if color == BLUE else BLUE
        self.assertNotIn(other, colors, f"{context}: link {control_id} mixes red and blue")

    def test_hover_turns_a_link_red_until_the_pointer_is_over_the_bare_window(self):
        steps = [  # where the pointer goes, the screenshot, (Readme, Website) colours after it
            (lambda: self.move_to_client(self.BARE), "bare", (BLUE, BLUE)),
            (lambda: self.move_to_control(LBL_README), "on-readme", (RED, BLUE)),
            # Readme, once hovered, stays red until the pointer is over the bare window.
            (lambda: self.move_to_control(LBL_WEBSITE), "on-website", (RED, RED)),
            (lambda: self.move_to_client(self.BARE), "bare-again", (BLUE, BLUE)),
        ]
        for move, name, colors in steps:
            move()
            shot = self.s.screenshot(name)
            for link, color in zip((LBL_README, LBL_WEBSITE), colors):
                self.assert_link(shot, link, color, f"pointer {name}")

    def test_leaving_the_window_from_a_link_keeps_it_red(self):
        self.move_to_client(self.BARE)
        self.move_to_control(LBL_README)
        # Straight from the link to the desktop below the window, crossing nothing.
        ox, oy = self.layout["client_origin"]
        window_bottom = self.layout["window_rect"][1] + self.layout["window_rect"][3]
        self.s.move_pointer(ox + 20, min(window_bottom + 40, harness.SCREEN[1] - 60))
        shot = self.s.screenshot("left-window")
        self.assert_link(shot, LBL_README, RED, "pointer left the window from Readme")

    def test_readme_click_without_a_readme_file(self):
        self.assertFalse(self.s.unix_path(self.s.program_dir + r"\readme.txt").exists())
        before = {w["hwnd"] for w in self.s.windows()}
        self.s.click_control(LBL_README, self.layout)
        time.sleep(2)
        new = [w for w in self.s.windows() if w["hwnd"] not in before and w["visible"]]
        self.assertTrue(self.s.program_alive(), "the program ended after the click")
        asked = [line for line in self.s.traced(self.layout["pid"], "exec") if "readme.txt" in line]
        self.assertTrue(asked, "the click did not reach the link: the shell opened nothing")
        self.assertFalse([w for w in new if w["title"] == harness.PROGRAM_TITLE],
                         f"a window of the program opened: {new}")
        self.assertTrue(self.s.responsive(), "the window answers messages")


if __name__ == "__main__":
    unittest.main()

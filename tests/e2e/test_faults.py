"""End-to-end fault tests: hostile time pages, broken and flooding servers, a log-off in the
middle of a synchronisation, registry failures.

The time page comes over plain HTTP from a server nobody vouches for, so every byte of the
answer is hostile. Whatever arrives, the program must stay alive and answer messages, come
back within the download bounds, show only its own status texts and take a time from
nothing but a well-formed "hh:mm:ss UTC". After every test the suite also looks for Wine's
crash dialog.

Covered in test_main_window and not repeated here: an empty body and a connection closed
mid-body (ServerAnswers.test_page_contents), 1 MiB pages (ServerAnswers), an unreachable
server, and servers that never answer or trickle one byte a second (StalledServer). The
taskbar forgetting the icon is in test_tray.TaskbarRestart, a log-off while idle in
test_tray.SessionEnd, a Run key that refuses values in test_startup.SavedSettings.
"""

import contextlib
import functools
import random
import re
import socket
import struct
import tempfile
import threading
import time
import unittest
from pathlib import Path
from typing import Callable, Optional, Union

import harness
import timeserver as ts
from harness import (CANNOT_GET, CANNOT_SET, CHK_AUTORUN, CMD_CHECK, CMD_SYNCHRONIZE,
                     GETTING_TIME, INACCURATE, READY, RUN_KEY, RUN_VALUE, SETTINGS_SUBKEY, TIME_OK,
                     TXT_INTERVAL, UPDATED, reg_value, reg_values, sz)

# Every text the program itself ever puts on its status line.
OWN_TEXT = re.compile("|".join(
    [f"^{re.escape(text)}$" for text in (READY, GETTING_TIME, TIME_OK, CANNOT_GET, CANNOT_SET)]
    + [INACCURATE.pattern, UPDATED.pattern]))
# Synchronize tries a page this far off: taken, the system refuses the set (CANNOT_SET);
# refused, the program never gets that far (CANNOT_GET). Either way the clock stays.
FAR_OFF = 7200

PAGE_PATH = "/cgi-bin/timer.pl"
SETTINGS_ROOT = r"HKCU\Software\VB and VBA Program Settings"
AUTORUN_COMMAND = '"C:\\Program Files\\Zelmora\\Zelmora.exe"'
# Setting values is denied to everyone; everything else stays allowed, so the test can put
# the old list back. Wine's server checks a key's list when the key is opened.
DENY_SET_VALUE = "D:(D;;0x2;;;WD)(A;;KA;;;WD)"

LIMIT = harness.DOWNLOAD_LIMIT
QUICK = 10  # seconds for an answer the program cuts off: it takes well under one, not the 40 s
RSS_CEILING_KB = 100 * 1024


# -------------------------------------------------------------------------------------
# Servers


Raw = Union[bytes, Callable[[socket.socket, threading.Event], None]]
# A written answer's send buffer, pinned: loopback buffers otherwise take in megabytes that
# no one reads, and what the server wrote would say nothing of what the program read.
SEND_BUFFER = 32 * 1024


@functools.cache
def unread_capacity() -> int:
    """What a loopback connection takes in from a server with SEND_BUFFER when the client
    reads nothing."""
    with socket.create_server(("127.0.0.1", 0)) as listener, \
            socket.create_connection(listener.getsockname()), listener.accept()[0] as conn:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
        conn.settimeout(1)
        taken, block = 0, bytes(1 << 16)
        with contextlib.suppress(socket.timeout):
            while True:
                taken += conn.send(block)
        return taken


class FaultServer(ts.TimeServer):
    """The time server, plus answers written byte for byte and a hook after each answer.

    raw: the whole answer (status line and headers included) as bytes, or a callable
    (connection, stopping) that writes it. after_answer runs once, after the next answer.
    """

    def __init__(self, port: int):
        super().__init__(port)
        self.raw: Optional[Raw] = None
        self.after_answer: Optional[Callable[[], None]] = None

    def reset(self):
        self.raw = None
        self.after_answer = None
        super().reset()

    def _answer(self, conn: socket.socket):
        raw = self.raw
        try:
            if raw is None:
                super()._answer(conn)
            else:
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
                if callable(raw):
                    raw(conn, self._stopping)
                else:
                    conn.sendall(raw)
                with contextlib.suppress(OSError):
                    conn.shutdown(socket.SHUT_WR)
        finally:
            hook, self.after_answer = self.after_answer, None
            if hook:
                hook()


class Listener:
    """A loopback port that records every connection made to it (and what was sent)."""

    def __init__(self):
        self.connections: list = []
        self._socket = socket.socket()
        self._socket.bind(("127.0.0.1", 0))
        self._socket.listen(8)
        self._socket.settimeout(0.1)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._accept, daemon=True)

    @property
    def port(self) -> int:
        return self._socket.getsockname()[1]

    def _accept(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._socket.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with conn:
                conn.settimeout(1)
                try:
                    self.connections.append(conn.recv(4096))
                except OSError:
                    self.connections.append(b"")

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(2)
        self._socket.close()


OK_HEAD = b"HTTP/1.1 200 OK\r\n"


_page_offset = [0.0]


@contextlib.contextmanager
def pages_off_by(seconds: float):
    """page() is seconds off while in this block."""
    _page_offset[0] = seconds
    try:
        yield
    finally:
        _page_offset[0] = 0.0


def page() -> bytes:
    """The usual page with the current time, made when the answer is written."""
    return ts.page_with_time(_page_offset[0]).encode("latin-1")


def answer(build: Callable[[], bytes]) -> Raw:
    return lambda conn, stopping: conn.sendall(build())


def reset_connection(conn: socket.socket):
    """Closes with a reset (RST) instead of an orderly end."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def reset_after(build: Callable[[], bytes]) -> Raw:
    def write(conn, stopping):
        conn.sendall(build())
        stopping.wait(0.3)
        reset_connection(conn)
    return write


def partial_head_then_silence(conn, stopping):
    conn.sendall(OK_HEAD + b"Content-Le")
    stopping.wait(LIMIT + 30)


def endless(head: bytes, body_block: Callable[[object], None]) -> Raw:
    """An answer whose body never ends, sent by the kernel (sendfile) so that the line is
    never idle: WinINet stops reading out a body at the first pause. Ends when the test drops
    the connection, or after LIMIT + 60 s."""
    def write(conn, stopping):
        conn.settimeout(None)
        conn.sendall(head)
        end = time.monotonic() + LIMIT + 60
        with tempfile.TemporaryFile() as block:
            body_block(block)
            while not stopping.is_set() and time.monotonic() < end:
                conn.sendfile(block, 0, 1 << 16)
    return write


def sparse_zeros(block):
    block.truncate(1 << 30)


def many_chunks(block):
    chunk = b"10000\r\n" + b"<!-- no time here -->".ljust(65536, b".") + b"\r\n"
    block.write(chunk * 256)
    block.flush()


def header_flood(lines: int) -> Raw:
    head = OK_HEAD + b"".join(b"X-Filler-%d: v\r\n" % i for i in range(lines)) + b"\r\n"
    return answer(lambda: head + b"<p>no time here</p>".ljust(200, b"."))


def padded(data: bytes, length: int = 160) -> bytes:
    return data + b"." * max(0, length - len(data))


def clock_bytes(separator: bytes = b":") -> bytes:
    return ts.utc_clock_text().encode("ascii").replace(b":", separator)


# -------------------------------------------------------------------------------------
# Checks


def crash_dialogs(windows: list) -> list:
    """Wine's crash dialog ("Program Error", from winedbg) and its details window."""
    return [w for w in windows if w["visible"] and
            (w["title"].startswith("Program Error") or "winedbg" in w["title"].lower())]


def dialogs(windows: list) -> list:
    """Visible dialog windows: message boxes, crash dialogs."""
    return [w for w in windows if w["visible"] and
            (w["class"] == "#32770" or w in crash_dialogs(windows))]


def rss_kb(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise harness.HarnessError(f"no VmRSS for process {pid}")


class FaultCase(harness.SessionTestCase):
    """One session per class with a FaultServer; every test ends with a crash-dialog check."""

    expect_crash_dialog = False
    server_class = FaultServer

    def setUp(self):
        super().setUp()
        self.fresh_server()
        if not self.expect_crash_dialog:
            self.addCleanup(self.assert_no_crash_dialog)

    def assert_no_crash_dialog(self):
        found = crash_dialogs(self.s.windows())
        if found:
            self.s.screenshot("crash-dialog")
        self.assertEqual(found, [], "Wine's crash dialog is up: a process crashed")

    def assert_healthy(self, context: str):
        """Alive, no dialog, answering messages, and only the program's own status text."""
        self.assertTrue(self.s.program_alive(), f"{context}: the program ended")
        self.assertEqual(dialogs(self.s.windows()), [], f"{context}: a dialog is up")
        status = self.s.probe("status")
        self.assertTrue(status["found"], f"{context}: the main window is gone")
        self.assertTrue(status["responsive"], f"{context}: the window does not answer")
        self.assertRegex(status["status"], OWN_TEXT, f"{context}: status line")

    def assert_answered(self, context: str, done: bool = True) -> list:
        """Each connection got its scripted answer to the end (a planned reset included), or
        with done=False is still being answered; returns the bytes written to each."""
        exchanges = self.s.server.exchanges
        if done:
            ts.TimeServer.settled(exchanges, 5)
        self.assertTrue(exchanges, f"{context}: the server saw no connection")
        for e in exchanges:
            self.assertIsNone(e.error, f"{context}: the server's answer failed")
            self.assertIsNotNone(e.request, f"{context}: no whole request came")
            self.assertEqual(e.done, done, f"{context}: the answer ran to its end")
        return [e.sent for e in exchanges]

    def operate(self, control: int, context: str, timeout: float = 20,
                **kwargs) -> harness.Operation:
        op = self.s.operate(control, timeout=timeout, **kwargs)
        harness.log(f"{context}: {op.final!r} after {op.seconds:.1f} s")
        for text in op.statuses:
            self.assertRegex(text, OWN_TEXT, f"{context}: a status text; statuses {op.statuses}")
        return op

    def operate_connected(self, control: int, context: str, timeout: float) -> harness.Operation:
        """operate, again (at most for 10 s) while the download is refused without connecting,
        as it is while the program's last download still reads out what the last server sent
        (StalledServer shows that refusal): each such refusal ends as cannot-get."""
        deadline = time.monotonic() + harness.slower(10)
        while True:
            op = self.operate(control, context, timeout=timeout)
            if self.s.server.exchanges or time.monotonic() > deadline:
                return op
            self.assertEqual(op.final, CANNOT_GET, f"{context}: refused; statuses {op.statuses}")
            harness.log(f"{context}: refused without connecting; again in a second")
            time.sleep(1)


    def serve(self, how: Union[dict, Raw]):
        self.s.server.reset()
        if isinstance(how, dict):
            self.s.server.configure(**how)
        else:
            self.s.server.raw = how

    def set_autorun(self, on: bool):
        if (self.s.control(CHK_AUTORUN)["check"] == 1) != on:
            self.s.click_control(CHK_AUTORUN)
        self.s.wait_for(lambda: self.s.control(CHK_AUTORUN)["check"] == (1 if on else 0), 5,
                        message="the autorun box")

    def close_window(self):
        """The close box's message: stores the settings and hides the window in the tray."""
        self.s.probe("post", "WM_CLOSE", "0", "0")
        harness.wait_shown(self.s, False)


# -------------------------------------------------------------------------------------
# Pages and answers


class HostilePages(FaultCase):
    """Bytes the program must read past or refuse; HTTP it must survive."""

    def run_cases(self, cases: list, check_requests: Optional[Callable] = None,
                  synchronize_too: bool = False):
        """A page without a well-formed time must not reach the clock: Synchronize would set
        it, so Synchronize must fail before that. A page with one is read with Check, and with
        synchronize_too also with Synchronize, FAR_OFF: the system must be asked to set it."""
        for name, how, wanted in cases:
            runs = [(CMD_CHECK if wanted == TIME_OK else CMD_SYNCHRONIZE, 0, wanted, name)]
            if synchronize_too and wanted == TIME_OK:
                runs.append((CMD_SYNCHRONIZE, FAR_OFF, CANNOT_SET, f"{name}, Synchronize"))
            for control, offset, outcome, context in runs:
                with self.subTest(context), pages_off_by(offset):
                    self.serve(how)
                    op = self.operate(control, context)
                    self.assertTrue(op.finished, f"{context}: no outcome; statuses {op.statuses}")
                    self.assertEqual(op.final, outcome, f"{context}: statuses {op.statuses}")
                    self.assert_answered(context)
                    if check_requests:
                        check_requests(context, self.s.server.requests)
                    self.assert_healthy(context)

    def test_bytes_around_and_inside_the_time(self):
        def body(before: bytes, time_text: Callable[[], bytes], after: bytes) -> dict:
            return dict(body=lambda: padded(before + time_text() + after), align_to_second=True)

        high = bytes(range(128, 256))
        cases = [
            ("NUL bytes around", body(b"\0" * 64, clock_bytes, b" UTC" + b"\0" * 64), TIME_OK),
            ("bytes above 127 around", body(high, clock_bytes, b" UTC" + high[::-1]), TIME_OK),
            ("UTF-8 text around", body("Uhrzeit \u2192 ".encode(), clock_bytes,
                                       " UTC \u2713 \u00fc".encode()), TIME_OK),
            # Any character separates the fields, a NUL as well.
            ("NUL bytes as the separators", body(b"<p>", lambda: clock_bytes(b"\0"), b" UTC"),
             TIME_OK),
            ("a NUL in place of a digit",
             body(b"<p>", lambda: clock_bytes()[:4] + b"\0" + clock_bytes()[5:], b" UTC"),
             CANNOT_GET),
            ("a byte above 127 in place of a digit",
             body(b"<p>", lambda: b"1\xb2" + clock_bytes()[2:], b" UTC"), CANNOT_GET),
            ("full-width digits", body(b"<p>", lambda: "\uff11\uff12:\uff10\uff10".encode(),
                                       b" UTC"), CANNOT_GET),
            ("only bytes above 127 before UTC", body(b"<p>", lambda: b"\xff" * 8, b" UTC"),
             CANNOT_GET),
            ("NUL instead of the blank before UTC", body(b"<p>", clock_bytes, b"\0UTC"),
             CANNOT_GET),
            ("no-break space before UTC", body(b"<p>", clock_bytes, b"\xa0UTC"), CANNOT_GET),
        ]
        self.run_cases(cases)

    def test_only_a_200_answer_is_the_page(self):
        no_time = ("<html><head><title>Error</title></head><body><h1>Something went wrong"
                   "</h1><p>The server could not answer this request.</p></body></html>")
        cases = []
        # An error page, or a portal's in the page's place, that shows a time is no page.
        for status in (404, 500, 503):
            cases.append((f"{status} with a time", dict(status=status, body=ts.live_page(0),
                                                        align_to_second=True), CANNOT_GET))
            cases.append((f"{status} without a time", dict(status=status, body=no_time),
                          CANNOT_GET))
        self.run_cases(cases)

    def test_redirects_are_not_followed(self):
        with Listener() as other:
            elsewhere = f"http://127.0.0.1:{other.port}{PAGE_PATH}"
            no_time = f'<html><body><p>Moved to <a href="{elsewhere}">here</a>.</p></body></html>'
            cases = []
            for status in (301, 302, 307):
                for target, location in (("another port", elsewhere),
                                         ("another path here", "/elsewhere")):
                    headers = {"Location": location}
                    cases.append((f"{status} to {target}, with a time",
                                  dict(status=status, headers=headers, body=ts.live_page(0),
                                       align_to_second=True), CANNOT_GET))
                    cases.append((f"{status} to {target}, without a time",
                                  dict(status=status, headers=headers, body=padded(
                                      no_time.encode(), 200)), CANNOT_GET))

            def one_request_only(name, requests):
                self.assertEqual([r.path for r in requests], [PAGE_PATH],
                                 f"{name}: requests to the time server")
                self.assertEqual(other.connections, [], f"{name}: the redirect target was asked")

            self.run_cases(cases, one_request_only)

    def test_malformed_http(self):
        def with_page(*parts: bytes) -> Raw:
            return answer(lambda: b"".join(parts) + page())

        def chunked_page(size_line: Callable[[bytes], bytes]) -> Raw:
            def build():
                p = page()
                return (OK_HEAD + b"Transfer-Encoding: chunked\r\n\r\n" + size_line(p) + b"\r\n"
                        + p + b"\r\n0\r\n\r\n")
            return answer(build)

        cases = [
            ("no status line: the page alone", with_page(), TIME_OK),
            ("bare LF line ends", with_page(b"HTTP/1.1 200 OK\nContent-Type: text/html\n\n"),
             TIME_OK),
            ("a 100 KiB status line", with_page(b"HTTP/1.1 200 " + b"O" * 102400 + b"\r\n\r\n"),
             TIME_OK),
            ("a 100 KiB header line",
             with_page(OK_HEAD, b"X-Long: " + b"a" * 102400 + b"\r\n\r\n"), TIME_OK),
            ("NUL bytes in header names and values",
             with_page(OK_HEAD, b"X-A: a\0b\r\nX\0Y: z\r\n\r\n"), TIME_OK),
            ("Content-Length -1", with_page(OK_HEAD, b"Content-Length: -1\r\n\r\n"),
             TIME_OK),
            ("Content-Length shorter than the body",
             with_page(OK_HEAD, b"Content-Length: 10\r\n\r\n"), TIME_OK),
            ("two different Content-Lengths",
             with_page(OK_HEAD, b"Content-Length: 10\r\nContent-Length: 400\r\n\r\n"),
             TIME_OK),
            ("Content-Length beyond 64 bits",
             with_page(OK_HEAD, b"Content-Length: 99999999999999999999999999\r\n\r\n"),
             TIME_OK),
            ("gzip announced, plain body",
             with_page(OK_HEAD, b"Content-Encoding: gzip\r\n\r\n"), TIME_OK),
            ("chunk size that is not hex", chunked_page(lambda p: b"zz"), CANNOT_GET),
            ("chunk size beyond 64 bits", chunked_page(lambda p: b"f" * 20), TIME_OK),
            ("a 5000-byte chunk extension",
             chunked_page(lambda p: b"%x;" % len(p) + b"x" * 5000), TIME_OK),
            ("status 999", with_page(b"HTTP/1.1 999 Whatever\r\n\r\n"), CANNOT_GET),
            ("status that is not a number", with_page(b"HTTP/1.1 abc\r\n\r\n"), CANNOT_GET),
            ("100 Continue before the answer",
             with_page(b"HTTP/1.1 100 Continue\r\n\r\n", OK_HEAD, b"\r\n"), TIME_OK),
            ("204 No Content with a body", with_page(b"HTTP/1.1 204 No Content\r\n\r\n"),
             CANNOT_GET),
            ("401 asking for Basic credentials",
             with_page(b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"t\"\r\n\r\n"),
             CANNOT_GET),
            ("401 asking for NTLM or Negotiate",
             with_page(b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: NTLM\r\n"
                       b"WWW-Authenticate: Negotiate\r\n\r\n"), CANNOT_GET),
            ("407 asking for proxy credentials",
             with_page(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                       b"Proxy-Authenticate: NTLM\r\n\r\n"), CANNOT_GET),
        ]

        def no_credentials(name, requests):
            # The program never answers a challenge: no second request, no credentials.
            self.assertEqual(len(requests), 1, f"{name}: requests")
            for r in requests:
                sent = {k.lower() for k in r.headers}
                self.assertFalse(sent & {"authorization", "proxy-authorization"},
                                 f"{name}: credentials sent: {r.headers}")

        self.run_cases(cases, no_credentials, synchronize_too=True)

    def test_broken_connections(self):
        garbage = bytes(random.Random(7).randrange(256) for _ in range(4096))

        def truncated_after_the_time():
            p = page()
            return OK_HEAD + b"Content-Length: %d\r\n\r\n" % (len(p) * 10) + p

        cases = [
            ("closed before any answer", lambda conn, stopping: None, CANNOT_GET),
            ("reset before any answer", lambda conn, stopping: reset_connection(conn),
             CANNOT_GET),
            ("status line, then closed", OK_HEAD, CANNOT_GET),
            ("headers without Content-Length, no body", OK_HEAD + b"\r\n", CANNOT_GET),
            ("binary garbage instead of HTTP", garbage, CANNOT_GET),
            ("reset in the body, before the time",
             reset_after(lambda: OK_HEAD + b"Content-Length: 5000\r\n\r\n<html><body>"),
             CANNOT_GET),
            ("closed after the time, short of the announced length",
             answer(truncated_after_the_time), TIME_OK),
            ("reset after the time", reset_after(truncated_after_the_time), TIME_OK),
        ]
        self.run_cases(cases, synchronize_too=True)


class FloodingServers(FaultCase):
    """Answers that never end or are huge: the program reads 64 KiB at most and gives up on a
    download after 30 s, so it must come back within LIMIT with little memory."""

    def setUp(self):
        super().setUp()
        self.addCleanup(self.recover)

    def recover(self):
        self.s.recover(300, interval=1)  # Wine works through a header flood however long it takes

    def assert_memory_sane(self, context: str, before_kb: int):
        after = rss_kb(self.s.program_pid())
        harness.log(f"{context}: resident memory {before_kb} KiB before, {after} KiB after")
        self.assertLess(after, RSS_CEILING_KB, f"{context}: resident memory {after} KiB")
        self.assertLess(after - before_kb, 32 * 1024,
                        f"{context}: resident memory grew from {before_kb} to {after} KiB")

    def test_ten_mebibytes_with_the_time_at_the_start(self):
        before = rss_kb(self.s.program_pid())
        self.serve(dict(mode=ts.HUGE, body=lambda: ts.page_with_time(), huge_size=10 << 20,
                        align_to_second=True))
        op = self.operate(CMD_CHECK, "10 MiB page", timeout=LIMIT)
        self.assertTrue(op.finished, f"10 MiB page: no outcome in {LIMIT} s")
        self.assertEqual(op.final, TIME_OK, f"statuses {op.statuses}")
        self.assert_memory_sane("10 MiB page", before)
        self.assert_healthy("10 MiB page")

    def test_answers_that_do_not_end_are_cut_off_in_time(self):
        cases = [
            # WinINet reads out the rest of a body when its handle closes, until the line
            # is idle for a moment; a server that keeps the line busy holds the program
            # there. Whether it manages to is a matter of timing, hence several tries.
            # (name, answer, tries, bound in seconds, bytes the server must have written: for
            # an endless body, more than the buffers take in and half what the program reads)
            ("endless body with a Content-Length of 1 TiB",
             endless(OK_HEAD + b"Content-Length: %d\r\n\r\n" % (1 << 40), sparse_zeros), 5,
             QUICK, unread_capacity() + (1 << 15)),
            ("endless chunked body",
             endless(OK_HEAD + b"Transfer-Encoding: chunked\r\n\r\n", many_chunks), 5, QUICK,
             unread_capacity() + (1 << 15)),
            # Each header line costs WinINet more than the one before.
            ("80000 header lines", header_flood(80000), 1, QUICK, 80000 * 15),
            ("headers that stop half-way", partial_head_then_silence, 1, LIMIT, 27),
        ]
        for name, how, tries, bound, at_least in cases:
            with self.subTest(name):
                before = rss_kb(self.s.program_pid())
                for attempt in range(1, tries + 1):
                    self.serve(how)
                    op = self.operate_connected(CMD_SYNCHRONIZE, f"{name} ({attempt})", bound)
                    exchanges = self.s.server.exchanges
                    self.recover()  # ends what is still being sent
                    sent = sum(e.sent for e in ts.TimeServer.settled(exchanges))
                    self.assertTrue(op.finished, f"{name}, try {attempt}: still {op.final!r} "
                                                 f"{op.seconds:.0f} s after Synchronize")
                    self.assertEqual(op.final, CANNOT_GET, f"{name}: statuses {op.statuses}")
                    self.assertGreaterEqual(sent, at_least, f"{name}: bytes the server wrote; "
                                                            f"connections {exchanges}")
                self.assert_memory_sane(name, before)
                self.assert_healthy(name)


class ServerRestart(FaultCase):
    """The server goes away between the two downloads of a Check that found the clock off."""

    def restart_after_first_answer(self, down_for: float):
        server = self.s.server

        def restart():
            time.sleep(0.05)  # let the first answer's connection close
            server.stop()
            time.sleep(down_for)
            server.start()

        server.after_answer = lambda: threading.Thread(target=restart, daemon=True).start()

    def test_restart_between_the_two_downloads_of_a_check(self):
        cases = [
            ("back before the second download", 0.0, {}, 2),
            ("back before the second download, connection kept alive", 0.0,
             {"Connection": "keep-alive"}, 2),
            ("still down at the second download", 3.0, {}, 1),
        ]
        for name, down_for, headers, answered in cases:
            with self.subTest(name):
                self.serve(dict(body=ts.live_page(3), headers=headers))
                self.restart_after_first_answer(down_for)
                op = self.operate(CMD_CHECK, name)
                self.s.wait_for(lambda: self.s.server.running, 10, message="the server")
                self.assertTrue(op.finished, f"{name}: statuses {op.statuses}")
                self.assertEqual(len(self.s.server.requests), answered, f"{name}: requests")
                if answered == 2:
                    match = INACCURATE.match(op.final)
                    self.assertIsNotNone(match, f"{name}: statuses {op.statuses}")
                    self.assertIn(int(match.group(1)), (2, 3, 4), op.final)
                else:
                    self.assertEqual(op.final, CANNOT_GET, f"{name}: statuses {op.statuses}")
                self.assert_healthy(name)
                # And the next Check finds the server again.
                self.serve(dict(align_to_second=True))
                self.assertEqual(self.operate(CMD_CHECK, f"{name}, then").final, TIME_OK)


# -------------------------------------------------------------------------------------
# Log-off


class LogOffDuringSync(FaultCase):
    """A log-off whose messages arrive while a Check yields between its two downloads.

    The window handles no messages during a download, so the messages posted then wait in
    the queue, and the Check's yield after the first (slow, 3 s off) page dispatches them.
    """

    session_options = {"trace": ("systray",)}

    def setUp(self):
        super().setUp()
        if not self.s.program_alive():
            self.s.start_program()

    def log_off_during_check(self, ends: bool, interval: str):
        harness.set_interval(self.s, interval)
        self.s.server.configure(body=ts.live_page(3), delay=4)
        seen = {"pid": self.s.dump()["pid"]}

        def post_log_off():
            time.sleep(1)  # inside the first download
            self.assertTrue(self.s.probe("post", "WM_QUERYENDSESSION", "0", "0")["ok"])
            self.assertTrue(self.s.probe("post", "WM_ENDSESSION", "1" if ends else "0",
                                         "0")["ok"])
            if ends:
                seen["exit"] = self.s.wait_exit(15)
                # Looked at while the desktop still runs (the status watcher keeps it up).
                seen["windows"] = self.s.windows()

        op = self.s.operate(CMD_CHECK, timeout=15 if ends else 20, while_waiting=post_log_off)
        self.assert_answered("the Check's downloads")
        texts = op.statuses[:-1] if ends and op.statuses[-1:] == [""] else op.statuses
        for text in texts:
            self.assertRegex(text, OWN_TEXT, f"a status text; statuses {op.statuses}")
        stored = reg_values(self.s, harness.SETTINGS_KEY)
        self.assertIsNotNone(stored, "no settings stored")
        self.assertEqual(stored.get("Interval"), sz(interval), f"settings {stored}")
        self.assertEqual(sorted(stored), ["Auto", "AutoRun", "Interval"], f"settings {stored}")
        return op, seen

    def test_cancelled_log_off_saves_and_the_check_goes_on(self):
        op, seen = self.log_off_during_check(ends=False, interval="23")
        match = INACCURATE.match(op.final)
        self.assertIsNotNone(match, f"statuses {op.statuses}")
        self.assertEqual(len(self.s.server.requests), 2, "the Check's second download")
        self.assert_healthy("after a cancelled log-off")
        self.assertEqual(len(self.s.tray_icons()), 1, "tray icon")
        self.assertEqual(self.s.icon_deletions(seen["pid"]), 0, "the icon was removed")

    def test_log_off_saves_removes_the_icon_and_ends(self):
        op, seen = self.log_off_during_check(ends=True, interval="17")
        self.assertEqual(seen.get("exit"), 0, f"exit code; statuses {op.statuses}")
        # Ended inside the yield: the second download never started.
        self.assertEqual(len(self.s.server.requests), 1, "downloads")
        self.assertEqual(crash_dialogs(seen["windows"]), [], "crash dialog")
        self.assertEqual(self.s.icon_deletions(seen["pid"]), 1, "the program removed its icon")


# -------------------------------------------------------------------------------------
# Registry


class RegistryFaultCase(FaultCase):
    def close_and_check(self, context: str, interval: str) -> Optional[dict]:
        """Changes the interval, ticks autorun and closes the window, which stores both.

        Returns the stored settings afterwards; the window must have hidden without a word
        and come back from the tray working.
        """
        harness.set_interval(self.s, interval)
        self.set_autorun(True)
        self.close_window()
        self.assertEqual(dialogs(self.s.windows()), [], f"{context}: a dialog is up")
        self.assertTrue(self.s.responsive(), f"{context}: not answering")
        harness.show_with_icon(self.s)
        self.serve(dict(align_to_second=True))
        self.assertEqual(self.operate(CMD_CHECK, context).final, TIME_OK, context)
        self.assert_healthy(context)
        return reg_values(self.s, harness.SETTINGS_KEY)


class AutorunKeyMissing(RegistryFaultCase):
    """No Run key at all: the settings are stored all the same, quietly, and the program does
    not create the key (it only ever opens it). A Run key that refuses values is covered by
    test_startup.SavedSettings.test_unwritable_run_key."""

    def test_run_key_missing(self):
        self.s.reg_delete(RUN_KEY)
        self.addCleanup(self.s.reg, "add", RUN_KEY, "/f")
        self.assertIsNone(reg_values(self.s, RUN_KEY), "the Run key is still there")
        stored = self.close_and_check("Run key missing", "41")
        self.assertEqual(stored, {"Interval": sz("41"), "Auto": sz("0"), "AutoRun": sz("1")},
                         "settings")
        self.assertIsNone(reg_values(self.s, RUN_KEY), "the program created the Run key")


class SettingsKeyUnwritable(RegistryFaultCase):
    """The settings key refuses values: nothing of it changes, the autorun value is written."""

    session_options = dict(registry={harness.SETTINGS_KEY: {
        "Interval": "17", "Auto": "0", "AutoRun": "0"}})

    def test_settings_key_refusing_values(self):
        before = self.s.probe("key-dacl", "HKCU", SETTINGS_SUBKEY, DENY_SET_VALUE)["before"]
        self.addCleanup(self.s.probe, "key-dacl", "HKCU", SETTINGS_SUBKEY, before)
        stored = self.close_and_check("settings key refusing values", "42")
        self.assertEqual(stored, {"Interval": sz("17"), "Auto": sz("0"), "AutoRun": sz("0")},
                         "settings, all as before")
        self.assertEqual(reg_value(self.s, RUN_KEY, RUN_VALUE), sz(AUTORUN_COMMAND))


class SettingsRootIsDanglingLink(RegistryFaultCase):
    """The settings' parent key is a registry link below which no key can be opened or
    created (Wine does not check the right to create subkeys, so a link is the way to make
    creating one fail; see WineSession.link_to_nowhere)."""

    @classmethod
    def prepare_prefix(cls, session):
        session.link_to_nowhere(r"Software\VB and VBA Program Settings")

    def test_settings_cannot_be_created(self):
        self.assertEqual(self.s.control(TXT_INTERVAL)["text"], "30", "the default interval")
        root = reg_values(self.s, SETTINGS_ROOT)
        stored = self.close_and_check("settings behind a dangling link", "42")
        self.assertIsNone(stored, "settings were stored")
        self.assertEqual(reg_values(self.s, SETTINGS_ROOT), root, "the link was replaced")
        self.assertEqual(reg_value(self.s, RUN_KEY, RUN_VALUE), sz(AUTORUN_COMMAND))


# -------------------------------------------------------------------------------------
# Cookies, crashes


class Cookies(FaultCase):
    """Cookies the page sets. The program has no use for them, so keeping them only lets a
    hostile page track it, or grow every later request past what servers accept."""

    def test_a_cookie_from_the_page_is_never_sent_back(self):
        self.serve(answer(lambda: OK_HEAD + b"Set-Cookie: track=1; expires=Fri, 01 Jan 2100 "
                                            b"00:00:00 GMT; path=/\r\n\r\n" + page()))
        self.assertEqual(self.operate(CMD_CHECK, "page setting a cookie").final, TIME_OK)
        self.serve(dict(align_to_second=True))
        self.assertEqual(self.operate(CMD_CHECK, "next page").final, TIME_OK)
        self.assertNotIn("Cookie", self.s.server.requests[-1].headers, "request headers")

    def test_a_flood_of_cookies_does_not_lock_the_program_out(self):
        cookies = b"".join(b"Set-Cookie: c%d=%s; expires=Fri, 01 Jan 2100 00:00:00 GMT; "
                           b"path=/\r\n" % (i, b"v" * 3000) for i in range(300))
        self.serve(answer(lambda: OK_HEAD + cookies + b"\r\n" + page()))
        self.operate(CMD_CHECK, "page setting 900 KB of cookies")
        # The time server, like most, drops requests whose head exceeds 64 KiB.
        self.serve(dict(align_to_second=True))
        op = self.operate(CMD_CHECK, "next page")
        self.assertEqual(op.final, TIME_OK,
                         f"statuses {op.statuses}; requests the server could read: "
                         f"{len(self.s.server.requests)}")


class CrashDialogDetection(FaultCase):
    """The crash check itself: a process of the prefix that dies must be noticed."""

    expect_crash_dialog = True

    def test_a_crashing_process_shows_a_dialog_the_suite_finds(self):
        self.addCleanup(self.s.probe_async("crash").stop)
        found = self.s.wait_for(lambda: crash_dialogs(self.s.windows()), 30,
                                message="Wine's crash dialog")
        self.assertTrue(found)
        self.assertTrue(self.s.program_alive(), "the program died with the probe")


if __name__ == "__main__":
    unittest.main()

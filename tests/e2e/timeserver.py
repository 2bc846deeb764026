"""A scriptable stand-in for the time page, for the end-to-end tests.

Serves every request on 127.0.0.1:<port> the way the current test asks: a normal page, an
error status, a connection that breaks mid-body, one that never answers, one that trickles,
or one that never ends; over TLS when given a server context. Every connection is recorded:
the request, the bytes actually written and the exception that ended the answer, if any.
"""

import contextlib
import socket
import socketserver
import ssl
import subprocess
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional, Union

Body = Union[str, bytes, Callable[[], Union[str, bytes]]]

NORMAL = "normal"
CLOSE_MID_BODY = "close_mid_body"  # full Content-Length announced, half the body sent
NO_BODY = "no_body"  # headers only, then the connection closes
HANG = "hang"  # read the request, never answer
DRIP = "drip"  # headers, then one byte of the body per drip_interval seconds
HUGE = "huge"  # body of huge_size bytes: the page, then filler, streamed
DRIP_HEAD = "drip_head"  # the head one byte per drip_interval seconds, then the body

MODES = (NORMAL, CLOSE_MID_BODY, NO_BODY, HANG, DRIP, HUGE, DRIP_HEAD)

REASONS = {200: "OK", 301: "Moved Permanently", 302: "Found", 404: "Not Found",
           500: "Internal Server Error", 503: "Service Unavailable"}


def utc_clock_text(offset_seconds: float = 0.0, now: Optional[float] = None) -> str:
    """hh:mm:ss of the UTC time of day, offset_seconds from now."""
    t = (time.time() if now is None else now) + offset_seconds
    return time.strftime("%H:%M:%S", time.gmtime(t))


def page_with_time(offset_seconds: float = 0.0, now: Optional[float] = None) -> str:
    """A page like the real time page: the time as 'hh:mm:ss UTC', at least 100 characters."""
    t = (time.time() if now is None else now) + offset_seconds
    clock = time.strftime("%H:%M:%S", time.gmtime(t))
    date = time.strftime("%Y-%m-%d", time.gmtime(t))
    return ('<!DOCTYPE html>\n<html lang="en">\n<head><meta charset="us-ascii">'
            '<title>Current time</title></head>\n<body>\n'
            f"<p>{clock} UTC</p>\n<p>{date}</p>\n</body>\n</html>\n")


def live_page(offset_seconds: float = 0.0) -> Callable[[], str]:
    """A body callable: the page with the time at the moment each request is answered."""
    return lambda: page_with_time(offset_seconds)


CLOCK_HEADER = "Zelmora-Time"


def precise_page(offset: float = 0.0, header: str = "both", **more) -> dict:
    """configure() settings for the live page offset seconds off that also says its time in
    the precise header ("both": "T2 T3", "t3": T3 alone, else that text), as far off."""
    return dict(body=live_page(offset), clock_header=header, clock_offset=offset, **more)


@dataclass
class Request:
    time: float  # time.time() when the request head had been read
    method: str
    path: str
    headers: dict


@dataclass
class Behaviour:
    body: Body = field(default_factory=live_page)
    status: Union[int, Callable[[], int]] = 200  # a callable: asked after body, per answer
    headers: dict = field(default_factory=dict)
    mode: str = NORMAL
    delay: float = 0.0  # seconds to wait before answering
    # Answer just after a second boundary, so the client reads its clock in the same second
    # as the page's time (no rollover between the two).
    align_to_second: bool = False
    drip_interval: float = 1.0
    huge_size: int = 1 << 20
    # Answer the first bytes that arrive, whatever they are (a TLS client's hello).
    answer_at_once: bool = False
    # The precise header: None sends none; "both" sends "T2 T3", "t3" T3 alone, any other
    # text goes out as the header's value. T2 is read as the answer begins (before delay and
    # align_to_second), T3 just before the head is written; clock_offset is added to both.
    clock_header: Optional[str] = None
    clock_offset: float = 0.0


@dataclass
class Exchange:
    """One connection: its request (None until a whole head came) and what was written."""
    request: Optional[Request] = None
    sent: int = 0  # bytes the server actually wrote
    first_byte_at: Optional[float] = None  # time.time() of the first byte written
    error: Optional[str] = None  # the exception that ended the answer
    done: bool = False  # the answer ran to its end
    closed: bool = False  # the server is through with the connection


class _Counted:
    """A connection that counts the bytes it writes; everything else passes through."""

    def __init__(self, conn: socket.socket, exchange: Exchange):
        self._conn = conn
        self._exchange = exchange

    def __getattr__(self, name):
        return getattr(self._conn, name)

    def _starting(self):
        # Stamped before the write: the client may act on the bytes before send() returns.
        if self._exchange.first_byte_at is None:
            self._exchange.first_byte_at = time.time()

    def sendall(self, data: bytes):
        view = memoryview(data)
        while view:
            self._starting()
            n = self._conn.send(view)
            self._exchange.sent += n
            view = view[n:]

    def sendfile(self, file, offset: int = 0, count: Optional[int] = None) -> int:
        self._starting()
        n = self._conn.sendfile(file, offset, count)
        self._exchange.sent += n
        return n


class _Handler(socketserver.BaseRequestHandler):
    server: "_Server"

    def handle(self):
        owner = self.server.owner
        exchange = Exchange()
        conn = _Counted(self.request, exchange)
        owner._track(self.request, exchange)
        try:
            exchange.request = self._read_head(conn, owner.behaviour.answer_at_once)
            if exchange.request is not None:
                owner._answer(conn)
                exchange.done = True
        except Exception as error:  # noqa: BLE001 - every failure is the test's business
            exchange.error = f"{type(error).__name__}: {error}"
        finally:
            owner._untrack(self.request)
            with contextlib.suppress(OSError):
                self.request.close()
            exchange.closed = True

    def _read_head(self, conn, first_bytes_only: bool):
        conn.settimeout(30)
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(4096)
            if not chunk:
                return None
            data += chunk
            if len(data) > 65536:
                return None
            if first_bytes_only:
                break
        text = data.split(b"\r\n\r\n", 1)[0].decode("latin-1")
        lines = text.split("\r\n")
        parts = lines[0].split(" ")
        headers = {}
        for line in lines[1:]:
            if ":" in line:
                k, v = line.split(":", 1)
                headers[k.strip()] = v.strip()
        return Request(time.time(), parts[0] if parts else "",
                       parts[1] if len(parts) > 1 else "", headers)


class _Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True

    def __init__(self, address, owner):
        self.owner = owner
        super().__init__(address, _Handler)

    def get_request(self):
        conn, address = super().get_request()
        if self.owner.tls:
            # The handshake runs on the handler's first read, in the handler's thread.
            conn = self.owner.tls.wrap_socket(conn, server_side=True,
                                              do_handshake_on_connect=False)
        return conn, address


class TimeServer:
    """Threaded HTTP server whose answers each test sets with configure()."""

    def __init__(self, port: int, host: str = "127.0.0.1", tls: Optional[ssl.SSLContext] = None):
        self.host = host
        self.port = port
        self.tls = tls
        self._lock = threading.Lock()
        self._behaviour = Behaviour()
        self._exchanges: list[Exchange] = []
        self._connections: set[socket.socket] = set()
        self._stopping = threading.Event()
        self._server: Optional[_Server] = None
        self._thread: Optional[threading.Thread] = None

    # -- life cycle -------------------------------------------------------------------

    def start(self, timeout: float = 10.0):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self._server = _Server((self.host, self.port), self)
                break
            except OSError:
                # A previous test's socket may still be closing.
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        self._stopping.clear()
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.1}, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Stops listening and drops every open connection, hanging ones included."""
        self._stopping.set()
        if self._server:
            self._server.shutdown()
            self._server.server_close()
        for conn in self.release_hanging():
            with contextlib.suppress(OSError):
                conn.close()
        if self._thread:
            self._thread.join(5)
        self._server = None
        self._thread = None

    @property
    def running(self) -> bool:
        return self._server is not None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- configuration ----------------------------------------------------------------

    def configure(self, **settings):
        """Sets how the next requests are answered; unnamed settings take their defaults."""
        behaviour = Behaviour(**settings)
        if behaviour.mode not in MODES:
            raise ValueError(f"unknown mode {behaviour.mode!r}")
        with self._lock:
            self._behaviour = behaviour

    def reset(self):
        """Back to the normal live page, with no requests recorded; drops hanging answers."""
        self.release_hanging()
        with self._lock:
            self._behaviour = Behaviour()
            self._exchanges.clear()

    def release_hanging(self) -> list:
        """Shuts every open connection down, hanging answers included; returns them."""
        with self._lock:
            connections = list(self._connections)
        for conn in connections:
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)
        return connections

    @property
    def behaviour(self) -> Behaviour:
        with self._lock:
            return self._behaviour

    # -- what was asked ---------------------------------------------------------------

    @property
    def exchanges(self) -> list[Exchange]:
        """Every connection since the last reset, in the order they were accepted."""
        with self._lock:
            return list(self._exchanges)

    @staticmethod
    def settled(exchanges: list[Exchange], timeout: float = 10.0) -> list[Exchange]:
        """The given exchanges once the server is through with each, or after timeout: a
        blocking write is counted only when it returns, which may be after the client gave up."""
        deadline = time.monotonic() + timeout
        while not all(e.closed for e in exchanges) and time.monotonic() < deadline:
            time.sleep(0.02)
        return exchanges

    @property
    def requests(self) -> list[Request]:
        return sorted((e.request for e in self.exchanges if e.request), key=lambda r: r.time)

    @property
    def open_connections(self) -> int:
        with self._lock:
            return len(self._connections)

    def wait_for_requests(self, count: int, timeout: float) -> list[Request]:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if len(self.requests) >= count:
                break
            time.sleep(0.02)
        return self.requests

    # -- internals --------------------------------------------------------------------

    def _track(self, conn, exchange: Exchange):
        with self._lock:
            self._connections.add(conn)
            self._exchanges.append(exchange)

    def _untrack(self, conn):
        with self._lock:
            self._connections.discard(conn)

    def _sleep(self, seconds: float) -> bool:
        """Sleeps unless the server stops first; True when it slept the whole time."""
        return not self._stopping.wait(seconds)

    def _answer(self, conn: socket.socket):
        t2 = time.time()
        b = self.behaviour
        if b.mode == HANG:
            # Keep the connection open and silent until the test or the server ends it.
            conn.settimeout(0.2)
            while not self._stopping.is_set():
                try:
                    if conn.recv(1024) == b"":
                        return
                except socket.timeout:
                    continue
            return
        if b.delay and not self._sleep(b.delay):
            return
        if b.align_to_second:
            fraction = time.time() % 1.0
            if not self._sleep((1.0 - fraction) + 0.02):
                return
        body = b.body() if callable(b.body) else b.body
        if isinstance(body, str):
            body = body.encode("latin-1")

        if b.mode == HUGE:
            self._send_huge(conn, b, body, t2)
            return
        headers = {"Content-Type": "text/html; charset=us-ascii",
                   "Cache-Control": "no-store", "Connection": "close"}
        headers["Content-Length"] = "0" if b.mode == NO_BODY else str(len(body))
        headers.update(b.headers)
        status = b.status() if callable(b.status) else b.status
        head = self._head(status, self._with_clock(headers, b, t2))
        if b.mode in (DRIP, DRIP_HEAD):
            conn.settimeout(5)
        for i in range(len(head) if b.mode == DRIP_HEAD else 0):
            conn.sendall(head[i:i + 1])
            if not self._sleep(b.drip_interval):
                return
        if b.mode != DRIP_HEAD:
            conn.sendall(head)
        if b.mode in (NORMAL, DRIP_HEAD):
            conn.sendall(body)
        elif b.mode == CLOSE_MID_BODY:
            conn.sendall(body[: len(body) // 2])
        elif b.mode == DRIP:
            for i in range(len(body)):
                conn.sendall(body[i:i + 1])
                if not self._sleep(b.drip_interval):
                    return
        with contextlib.suppress(OSError):
            conn.shutdown(socket.SHUT_WR)

    def _send_huge(self, conn, b: Behaviour, page: bytes, t2: float):
        headers = {"Content-Type": "text/html; charset=us-ascii", "Connection": "close",
                   "Content-Length": str(b.huge_size)}
        headers.update(b.headers)
        conn.sendall(self._head(b.status, self._with_clock(headers, b, t2)))
        conn.settimeout(30)
        sent = 0
        first = page[: b.huge_size]
        conn.sendall(first)
        sent += len(first)
        filler = (b"<!-- filler -->" * 4096)[:65536]
        while sent < b.huge_size and not self._stopping.is_set():
            chunk = filler[: b.huge_size - sent]
            conn.sendall(chunk)
            sent += len(chunk)

    @staticmethod
    def _with_clock(headers: dict, b: Behaviour, t2: float) -> dict:
        """The headers with the precise one added as b asks, its T3 read now."""
        if b.clock_header is None:
            return headers
        t3 = time.time()
        value = {"both": f"{t2 + b.clock_offset:.6f} {t3 + b.clock_offset:.6f}",
                 "t3": f"{t3 + b.clock_offset:.6f}"}.get(b.clock_header, b.clock_header)
        return {**headers, CLOCK_HEADER: value}

    @staticmethod
    def _head(status: int, headers: dict) -> bytes:
        lines = [f"HTTP/1.1 {status} {REASONS.get(status, 'Status')}"]
        lines += [f"{k}: {v}" for k, v in headers.items()]
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


class TinyProxy:
    """Debian's tinyproxy on a free loopback port, as an office's web proxy: it names itself
    in a Via header on what it forwards, and logs each request (a CONNECT for https)."""

    NAME = "zelmora-test-proxy"

    def __init__(self, folder: Path):
        self.folder = folder
        self.log = folder / "tinyproxy.log"
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.process: Optional[subprocess.Popen] = None

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.port}"

    def start(self, timeout: float = 10.0):
        self.folder.mkdir(parents=True, exist_ok=True)
        config = self.folder / "tinyproxy.conf"
        self.log.unlink(missing_ok=True)  # its requests since this start only
        config.write_text(f'Port {self.port}\nListen 127.0.0.1\nTimeout 30\n'
                          f'LogFile "{self.log}"\nLogLevel Connect\nMaxClients 16\n'
                          f'Allow 127.0.0.1\nViaProxyName "{self.NAME}"\n')
        self.process = subprocess.Popen(["tinyproxy", "-d", "-c", str(config)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while True:
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", self.port),
                                                                        0.5):
                return self
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"tinyproxy did not listen on {self.address}")
            time.sleep(0.1)

    def stop(self):
        if self.process:
            self.process.terminate()
            self.process.wait(10)
            self.process = None

    def requests(self) -> list:
        """What it was asked since it started, as "METHOD target" ("CONNECT host:port")."""
        text = self.log.read_text(errors="replace") if self.log.exists() else ""
        return [line.split("): ", 1)[1].rsplit(" HTTP/", 1)[0]
                for line in text.splitlines() if "]: Request (file descriptor" in line]


def via_proxy(request: Request) -> bool:
    return any(k.lower() == "via" and TinyProxy.NAME in v for k, v in request.headers.items())


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description="Serve the live time page for manual runs.")
    parser.add_argument("--port", type=int, default=18123)
    parser.add_argument("--offset", type=float, default=0.0, help="seconds added to the time")
    parser.add_argument("--clock-header", help='the precise header: "both", "t3" or a text')
    args = parser.parse_args()
    server = TimeServer(args.port)
    server.configure(**precise_page(args.offset, args.clock_header))
    server.start()
    print(f"serving http://127.0.0.1:{args.port}/cgi-bin/timer.pl (Ctrl+C ends)")
    try:
        while True:
            time.sleep(1)
    except KeyboardInterrupt:
        server.stop()

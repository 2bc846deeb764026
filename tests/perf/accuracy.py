#!/usr/bin/python3
"""How close Synchronize gets the clock: the shipped 32-bit builds under Wine 10.

    accuracy.py [--runs N] [--only NAME,...] [--build-dir DIR] [--out DIR] [--work DIR]

Serves pages a known fraction of a second off this machine's clock (+5.4 s and -3.75 s in
turn, the fraction moved a little each time), clicks Synchronize and reads what the program
asked for. Wine refuses any change of half a second or more and says on its err channel
"not allowed: difference N ms", N being the new time minus its clock: the error of a run is
N minus the page's offset. The bound is the one the program's own estimate line gives
("Zelmora estimate: ...", "ZelmoraClock estimate: ..." for the clock service), which
OutputDebugStringW writes on Wine's seh channel (kernel32's OutputDebugStringA on
debugstr). Every set the program asks for, small ones included, which Wine takes without
a word, is counted from a relay trace of ntdll's NtSetSystemTime.

Sessions (each a fresh prefix, display and time server, from the end-to-end harness):
- http: the build for the tests' http page (DIR/i686-e2e), every http row, and last the
  precise page through a real proxy (tinyproxy) set as the user's;
- https: the build for the tests' TLS page (DIR/i686-tls), with a test authority;
- service: that build's setup program, which installs the clock service; the program's
  own set is refused, so it asks the service, whose lines land in the log of the process
  that started Wine's service manager.
Writes accuracy.md (the table) and accuracy.json (every run) into --out and prints the
table. Exits 0 when every target is met, 1 when one is missed or could not be measured,
2 when the measurement itself failed.
"""

import argparse
import importlib
import json
import os
import platform
import re
import shutil
import socket
import statistics
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Callable, Optional

REPO = Path(__file__).resolve().parents[2]
E2E = REPO / "tests" / "e2e"

# Offsets of the pages that must be stepped: far enough for Wine to refuse (0.5 s).
OFFSETS = (5.4, -3.75)
FRACTION_STEP = 0.0173  # seconds the offsets move every second pair of runs
# The body says only hh:mm:ss: the page's time lies within its second.
BODY_HALF_MS = 500.0
# What the server cannot see of a round trip: the loopback connect, WinINet's own handling.
UNSEEN_MS = 5.0
# Wine's N is whole milliseconds, cut towards zero, of a time set microseconds later.
N_RESOLUTION_MS = 1.0
# The service fetches at most once in 10 s.
SERVICE_SPACING = 11
RELAY_KEY = r"HKCU\Software\Wine\Debug"
RELAY_INCLUDE = "ntdll.NtSetSystemTime"
TRACE = ("seh", "debugstr", "relay")
# Every Wine process of the service's session: the service's lines and Wine's refusals.
SERVICE_WINEDEBUG = "+pid,fixme-all,warn+seh,+debugstr"

LINE = re.compile(r"^(?:(?P<pid>[0-9a-f]+):)?(?P<tid>[0-9a-f]+):(?P<cls>[a-z]+):"
                  r"(?P<channel>[a-z0-9_]+):(?P<function>\w+) (?P<rest>.*)$")
RELAY_CALL = re.compile(r"^(?:(?P<pid>[0-9a-f]+):)?[0-9a-f]+:Call ntdll\.NtSetSystemTime\(")
ESTIMATE = re.compile(r"\b(?P<who>Zelmora|ZelmoraClock) estimate: "
                      r"offset=(?P<offset>[+-]?\d+(?:\.\d+)?)ms "
                      r"bound=(?P<bound>\d+(?:\.\d+)?)ms "
                      r"source=(?P<source>\w+) step=(?P<step>\w+)")
REFUSAL = re.compile(r"not allowed: difference (-?\d+) ms")


# ---------------------------------------------------------------------------------------
# Reading Wine's lines (unit-tested without Wine)


@dataclass
class Trace:
    """What a stretch of Wine's output says one program did."""
    estimates: list = field(default_factory=list)  # {offset, bound, source, step, pid}
    refusals: list = field(default_factory=list)  # (pid, N in ms)
    set_calls: int = 0  # NtSetSystemTime calls, as the relay trace shows them


def read_trace(text: str, who: str = "Zelmora", pid: Optional[int] = None) -> Trace:
    """The estimate lines of `who` (Zelmora, ZelmoraClock), Wine's refusals and the relayed
    set calls in text; only those of process pid when given (lines carry it with +pid).

    One OutputDebugStringW call shows four times on the seh channel (the wide call, the
    narrow one it makes and an exception each); it counts once, by its wide line, as a
    call of kernel32's OutputDebugStringA does by its line on debugstr."""
    trace = Trace()
    for line in text.splitlines():
        line = line.rstrip("\r")
        if call := RELAY_CALL.match(line):
            if pid is None or _pid(call["pid"]) == pid:
                trace.set_calls += 1
            continue
        m = LINE.match(line)
        if not m or (pid is not None and _pid(m["pid"]) != pid):
            continue
        if m["function"] == "NtSetSystemTime" and (refused := REFUSAL.search(m["rest"])):
            trace.refusals.append((_pid(m["pid"]), int(refused.group(1))))
        elif (m["function"] == "OutputDebugStringW" or (
                m["function"] == "OutputDebugStringA" and m["channel"] == "debugstr")):
            e = ESTIMATE.search(m["rest"])
            if e and e["who"] == who:
                trace.estimates.append({"offset": float(e["offset"]),
                                        "bound": float(e["bound"]), "source": e["source"],
                                        "step": e["step"], "pid": _pid(m["pid"])})
    return trace


def _pid(text: Optional[str]) -> Optional[int]:
    return int(text, 16) if text else None


def page_offsets(runs: int, still: bool = False) -> list:
    """Seconds each run's page is off: +5.4 and -3.75 in turn, moved a little each pair."""
    if still:
        return [0.0] * runs
    return [round(OFFSETS[i % 2] + FRACTION_STEP * (i // 2), 4) for i in range(runs)]


# ---------------------------------------------------------------------------------------
# Scenarios and their summaries


@dataclass(frozen=True)
class Scenario:
    key: str
    title: str
    session: str  # http, https, service
    page: Callable[[float], dict]  # configure() settings for a page offset seconds off
    kind: str  # "fixed": |error| <= limit_ms; "body": <= the body's bound; "still": no step
    source: str  # the source its estimates must name
    limit_ms: float = 0.0
    proxy: bool = False


@dataclass
class Run:
    offset_ms: float  # the page's own offset from this machine's clock
    asked_ms: Optional[int] = None  # Wine's N: what the program (or service) asked for
    set_calls: Optional[int] = None  # its set calls (relay); None where not traced
    estimates: list = field(default_factory=list)
    refusals: int = 0
    final: str = ""
    finished: bool = True
    server_ms: Optional[float] = None  # from the request's head read to the answer's first byte
    requests: int = 0
    via_proxy: Optional[bool] = None

    @property
    def estimate(self) -> Optional[dict]:
        return self.estimates[-1] if self.estimates else None

    @property
    def error_ms(self) -> Optional[float]:
        return None if self.asked_ms is None else self.asked_ms - self.offset_ms

    def body_limit_ms(self) -> Optional[float]:
        """Half a second and half the round trip (as the server saw it, and what it cannot
        see), in Wine's resolution: what a page's hh:mm:ss alone can tell."""
        if self.server_ms is None:
            return None
        return BODY_HALF_MS + (self.server_ms + UNSEEN_MS) / 2 + N_RESOLUTION_MS


def _spread(values: list) -> Optional[tuple]:
    return (min(values), statistics.median(values), max(values)) if values else None


def _count(n: int, total: int, what: str) -> str:
    return f"{what} in {n} of {total}"


def summarize(scenario: Scenario, runs: list, stopped: str = "", wanted: int = 0) -> dict:
    """One table row: the spreads, the target, whether it was met (True, False, or None when
    it could not be told) and what else was seen. stopped: why the runs ended early (or
    never began), wanted: how many there were to be."""
    row = {"key": scenario.key, "title": scenario.title, "runs": len(runs),
           "kind": scenario.kind, "target": target_text(scenario), "ok": None, "notes": [],
           "why_not": "",
           "error": None, "bound": None, "sources": {}}
    if not runs:
        row["why_not"] = stopped or "no run"
        return row
    row.update(_judge(scenario, runs))
    if stopped or len(runs) < wanted:
        row["notes"].append(f"stopped after {len(runs)} of {wanted} runs: {stopped}")
        if row["ok"]:
            row["ok"] = None
    return row


def _judge(scenario: Scenario, runs: list) -> dict:
    row = {"notes": [], "ok": None, "sources": {}}
    n = len(runs)
    notes = row["notes"]
    estimates = [r.estimate for r in runs if r.estimate]
    row["bound"] = _spread([e["bound"] for e in estimates])
    for e in estimates:
        row["sources"][e["source"]] = row["sources"].get(e["source"], 0) + 1
    if missing := n - len(estimates):
        notes.append(_count(missing, n, "no estimate line"))
    if several := sum(len(r.estimates) > 1 for r in runs):
        notes.append(_count(several, n, "more than one estimate line"))
    if wrong := sum(e["source"] != scenario.source for e in estimates):
        notes.append(_count(wrong, n, f"source other than {scenario.source}"))
    if unfinished := sum(not r.finished for r in runs):
        notes.append(_count(unfinished, n, "no outcome shown within the time limit"))
    if scenario.proxy and (direct := sum(r.via_proxy is not True for r in runs)):
        notes.append(_count(direct, n, "a request not through the proxy"))

    if scenario.kind == "still":
        # The program's own idea of the error: there is no step to read one from.
        row["error"] = _spread([abs(e["offset"]) for e in estimates])
        looked = [r for r in runs if r.set_calls is not None or r.estimate]
        stepped = sum(bool(r.set_calls) or r.asked_ms is not None or
                      bool(r.estimate and r.estimate["step"] == "yes") for r in looked)
        row["stepped"] = stepped
        if stepped:
            notes.append(_count(stepped, n, "a step asked"))
        if len(looked) < n:
            notes.append(_count(n - len(looked), n, "could not look (no set trace, no "
                                                     "estimate line)"))
            row["ok"] = False if stepped else None
        else:
            row["ok"] = stepped == 0
        return row

    errors = [abs(r.error_ms) for r in runs if r.error_ms is not None]
    row["error"] = _spread(errors)
    # Without a refusal the program asked no step of half a second or more, where its set
    # calls or its estimate line show it was looked at; else the trace is not there.
    unasked = [r for r in runs if r.error_ms is None]
    absent = sum(r.set_calls is not None or r.estimate is not None for r in unasked)
    if absent:
        notes.append(_count(absent, n, "no step of 0.5 s or more asked (no refusal line)"))
    if len(unasked) > absent:
        notes.append(_count(len(unasked) - absent, n, "could not look (no set trace, no "
                                                       "estimate line, no refusal)"))
    if beyond := sum(abs(r.error_ms) > r.estimate["bound"] + N_RESOLUTION_MS
                     for r in runs if r.error_ms is not None and r.estimate):
        notes.append(_count(beyond, n, "|error| above the program's own bound"))
    if apart := sum(abs(r.asked_ms - r.estimate["offset"]) > 2 * N_RESOLUTION_MS
                    for r in runs if r.asked_ms is not None and r.estimate):
        notes.append(_count(apart, n, "a step more than 2 ms from the estimate"))
    if scenario.kind == "fixed":
        within = [abs(r.error_ms) <= scenario.limit_ms for r in runs if r.error_ms is not None]
    else:
        within = [abs(r.error_ms) <= limit for r in runs
                  if r.error_ms is not None and (limit := r.body_limit_ms()) is not None]
        limits = [r.body_limit_ms() for r in runs if r.server_ms is not None]
        if limits:
            row["limit"] = _spread(limits)
    if absent or not all(within):
        row["ok"] = False
    elif len(within) == n:
        row["ok"] = True
    return row


def target_text(scenario: Scenario) -> str:
    if scenario.kind == "fixed":
        return f"max \\|error\\| <= {scenario.limit_ms:g} ms"
    if scenario.kind == "body":
        return "each \\|error\\| <= 500 ms + RTT/2"
    return "no step asked"


def _ms(spread: Optional[tuple]) -> str:
    if not spread:
        return "-"
    low, mid, high = spread
    digits = 1 if high >= 100 else 2
    return f"{low:.{digits}f} / {mid:.{digits}f} / {high:.{digits}f}"


def markdown_table(rows: list) -> str:
    lines = ["| Scenario | Runs | \\|error\\| ms min / median / max | bound ms min / median / max "
             "| Estimates' source | Target | OK | Notes |",
             "|---|---:|---:|---:|---|---|---|---|"]
    for row in rows:
        if row["why_not"]:
            lines.append(f"| {row['title']} | {row['runs']} | - | - | - | {row['target']} | "
                         f"not run | {row['why_not']} |")
            continue
        ok = {True: "yes", False: "**no**", None: "could not tell"}[row["ok"]]
        if row["kind"] == "still" and row.get("stepped") is not None:
            ok += f" ({row['stepped']} of {row['runs']} stepped)"
        sources = ", ".join(f"{k} {v}" for k, v in sorted(row["sources"].items())) or "-"
        notes = list(row["notes"])
        if row.get("limit"):
            notes.append("limit " + _ms(row["limit"]) + " ms")
        error = _ms(row["error"]) + (" (estimate)" if row["kind"] == "still" and row["error"]
                                     else "")
        lines.append(f"| {row['title']} | {row['runs']} | {error} | {_ms(row['bound'])} | "
                     f"{sources} | {row['target']} | {ok} | {'; '.join(notes) or '-'} |")
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------
# The host


def host_kind() -> dict:
    """What this machine is, as far as it tells."""
    cpu = next((line.split(":", 1)[1].strip() for line in
                Path("/proc/cpuinfo").read_text(errors="replace").splitlines()
                if line.startswith("model name")), "unknown")
    flags = Path("/proc/cpuinfo").read_text(errors="replace")
    kind = {"kernel": platform.release(), "machine": platform.machine(), "cpu": cpu,
            "cores": os.cpu_count(), "hypervisor": " hypervisor" in flags or
            "\thypervisor" in flags}
    if shutil.which("systemd-detect-virt"):
        kind["virtualization"] = subprocess.run(["systemd-detect-virt"], capture_output=True,
                                                text=True).stdout.strip() or "none"
    return kind


def host_sentence(kind: dict) -> str:
    where = []
    if kind.get("virtualization") not in (None, "none"):
        where.append(f"in a {kind['virtualization']} container or machine")
    if kind["hypervisor"]:
        where.append("on a virtual machine (the CPU's hypervisor flag)")
    return (f"Linux {kind['kernel']} {kind['machine']}, {kind['cpu']}, {kind['cores']} cores"
            + (", " + ", ".join(where) if where else ""))


def wine_way(build: Path) -> tuple:
    """(sentence, slowdown) from tools/host-check.py: how Wine 10 runs 32-bit files here."""
    result = subprocess.run([sys.executable, str(REPO / "tools" / "host-check.py"), "--slowdown",
                             "--build", str(build)], capture_output=True, text=True, timeout=900)
    sentence = result.stderr.strip().splitlines()[-1] if result.stderr.strip() else ""
    if result.returncode != 0:
        raise Failure(f"host-check: {sentence or 'no answer'}")
    return sentence, float(result.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------------------
# Running


def log(message: str):
    print(f"[accuracy {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


class Failure(Exception):
    pass


def url_port(exe: Path) -> int:
    """The port of the page address built into a program."""
    found = re.search(rb"https?://[A-Za-z0-9.-]+:(\d+)/cgi-bin/timer\.pl", exe.read_bytes())
    if not found:
        raise Failure(f"no page address with a port in {exe}")
    return int(found.group(1))


def wait_port_free(port: int, timeout: float = 120):
    """Another test run may hold the page's port for a while; the builds name only that one."""
    deadline = time.monotonic() + timeout
    while True:
        with socket.socket() as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                probe.bind(("127.0.0.1", port))
                return
            except OSError:
                if time.monotonic() > deadline:
                    raise Failure(f"port {port} stayed in use for {timeout:g} s "
                                  "(another test run?)") from None
        log(f"port {port} is in use; waiting")
        time.sleep(5)


class Logs:
    """The session's Wine logs, read from where a mark left them."""

    def __init__(self, folder: Path):
        self.folder = folder
        self.marks: dict = {}

    def mark(self):
        self.marks = {p: p.stat().st_size for p in self.folder.glob("*.log")}

    def since(self, only: Optional[str] = None, but: tuple = ()) -> str:
        texts = []
        for path in sorted(self.folder.glob("*.log")):
            if (only and path.name != only) or path.name in but:
                continue
            with open(path, "rb") as f:
                f.seek(self.marks.get(path, 0))
                texts.append(f.read().decode(errors="replace"))
        return "\n".join(texts)


def settled_trace(read: Callable[[], Trace], ready: Callable[[Trace], bool],
                  timeout: float) -> Trace:
    """The trace once ready says it is complete, or as it is after timeout seconds: Wine's
    lines may follow the status line by a moment."""
    deadline = time.monotonic() + timeout
    while True:
        trace = read()
        if ready(trace) or time.monotonic() > deadline:
            return trace
        time.sleep(0.2)


class Bench:
    """The harness and its friends, imported once the environment names the builds."""

    def __init__(self, build: Path, runs: int):
        self.build = build
        self.runs = runs
        sys.path.insert(0, str(E2E))
        self.h = importlib.import_module("harness")
        self.ts = importlib.import_module("timeserver")
        self.http_exe = build / "i686-e2e" / "Zelmora.exe"
        self.tls_exe = build / "i686-tls" / "Zelmora.exe"

    # -- one Synchronize ------------------------------------------------------------

    def synchronize(self, s, scenario: Scenario, offset: float, logs: Logs,
                    service_pid: Optional[int] = None) -> Run:
        h = self.h
        s.server.reset()
        s.server.configure(**scenario.page(offset))
        logs.mark()
        op = s.operate(h.CMD_SYNCHRONIZE, timeout=90 if service_pid else 20)
        run = Run(offset_ms=offset * 1000, final=op.final, finished=op.finished)
        exchanges = s.server.settled([e for e in s.server.exchanges if e.request])
        run.requests = len(exchanges)
        if exchanges and exchanges[0].first_byte_at:
            run.server_ms = (exchanges[0].first_byte_at - exchanges[0].request.time) * 1000
        if scenario.proxy:
            run.via_proxy = bool(exchanges) and all(self.ts.via_proxy(e.request)
                                                    for e in exchanges)
        stepping = scenario.kind != "still"
        if service_pid is None:
            trace = settled_trace(lambda: read_trace(logs.since(only="program.log")),
                                  lambda t: t.estimates and (t.refusals or not stepping), 3)
            run.set_calls = trace.set_calls if self.relay_seen or trace.set_calls else None
            self.relay_seen |= trace.set_calls > 0
        else:
            trace = settled_trace(
                lambda: read_trace(logs.since(but=("program.log",)), "ZelmoraClock",
                                   service_pid),
                lambda t: t.estimates and t.refusals, 15)
        run.estimates = trace.estimates
        run.refusals = len(trace.refusals)
        if trace.refusals:
            run.asked_ms = trace.refusals[-1][1]
        return run

    def scenario_runs(self, s, scenario: Scenario, logs: Logs, service_pid=None) -> tuple:
        """(its runs, why they stopped early or "")."""
        runs = []
        for i, offset in enumerate(page_offsets(self.runs, scenario.kind == "still")):
            if service_pid:
                time.sleep(SERVICE_SPACING)
            try:
                run = self.synchronize(s, scenario, offset, logs, service_pid)
            except Exception as error:  # noqa: BLE001 - the row says why
                log(f"{scenario.key} {i + 1}/{self.runs}: {type(error).__name__}: {error}")
                return runs, f"{type(error).__name__}: {error}"
            error = "-" if run.error_ms is None else f"{run.error_ms:+.1f} ms"
            e = run.estimate
            said = f"{e['offset']:+.3f} ms, bound {e['bound']:.3f} ms, {e['source']}, step " \
                   f"{e['step']}" if e else "none"
            log(f"{scenario.key} {i + 1}/{self.runs}: page {offset:+.4f} s, asked "
                f"{run.asked_ms} ms ({error}), estimate {said}, sets {run.set_calls}, "
                f"{run.final!r}")
            runs.append(run)
        return runs, ""

    # -- sessions -------------------------------------------------------------------

    def session(self, name: str, exe: Path, port: int, tls=None, relay: bool = True,
                **options):
        """A Session of the harness for exe, its time server on port; with relay, every set
        call of the program is traced (a registry import: the prefix's first Wine process)."""
        h = self.h
        wait_port_free(port)
        h.EXE = exe  # the harness installs and checks the program it names here
        os.environ["ZELMORA_E2E_PORT"] = str(port)
        s = h.Session(f"accuracy.{name}", trace=TRACE, registry={
            RELAY_KEY: {"RelayInclude": RELAY_INCLUDE}} if relay else None, **options)
        s.server = self.ts.TimeServer(port, tls=tls)
        self.relay_seen = False
        return s

    def http(self, scenarios: list) -> dict:
        results = {}
        s = self.session("http", self.http_exe, url_port(self.http_exe))
        with s:
            logs = Logs(s.workdir)
            for scenario in (sc for sc in scenarios if not sc.proxy):
                results[scenario.key] = self.scenario_runs(s, scenario, logs)
            for scenario in (sc for sc in scenarios if sc.proxy):
                if not shutil.which("tinyproxy"):
                    results[scenario.key] = ([], "tinyproxy is not installed")
                    continue
                proxy = self.ts.TinyProxy(s.workdir / "proxy")
                try:
                    proxy.start()
                    self.h.set_users_proxy(s, proxy.address)
                    results[scenario.key] = self.scenario_runs(s, scenario, logs)
                except Exception as error:  # noqa: BLE001 - the row says why
                    results[scenario.key] = ([], f"{type(error).__name__}: {error}")
                finally:
                    proxy.stop()
        return results

    def https(self, scenarios: list) -> dict:
        test_tls = importlib.import_module("test_tls")

        class Authority:
            pass

        test_tls.trust_test_authority(Authority)
        s = self.session("https", self.tls_exe, url_port(self.tls_exe),
                         tls=Authority.contexts["trusted"])
        with s:
            return {sc.key: self.scenario_runs(s, sc, Logs(s.workdir)) for sc in scenarios}

    def service(self, scenarios: list) -> dict:
        """The https build's setup program installs the service as test_service's classes
        install it; only Wine's debug channels differ, so that its lines can be read."""
        test_service = importlib.import_module("test_service")
        for path in (test_service.HTTPS_SETUP, test_service.ZSERVICE):
            if not path.is_file():
                return {sc.key: ([], f"missing {path} (build the setup target)")
                        for sc in scenarios}
        test_tls = importlib.import_module("test_tls")

        class Authority:
            pass

        test_tls.trust_test_authority(Authority)
        # No relay trace: its registry import would be the prefix's first Wine process, and
        # the service manager would write to that one's output, not to the setup program's.
        s = self.session("service", self.tls_exe, url_port(self.tls_exe),
                         tls=Authority.contexts["trusted"], relay=False, start_program=False,
                         files={test_service.SETUP_COPY: test_service.HTTPS_SETUP.read_bytes(),
                                test_service.ZSERVICE_COPY: test_service.ZSERVICE.read_bytes()})
        os.environ["ZELMORA_E2E_WINEDEBUG"] = SERVICE_WINEDEBUG  # read as the session starts
        try:
            s.__enter__()
        finally:
            os.environ.pop("ZELMORA_E2E_WINEDEBUG", None)
        try:
            # Keeps Wine up between the programs: the service alone would not.
            keeper = subprocess.Popen(s.target.wine.command("wineserver", "-p"), env=s.env)
            keeper.wait(30)
            test_service.put_sc_stand_in(s)
            installer = type("Installer", (test_service.ClockService,), {"s": s})
            if (code := installer.run_setup()) != 0:
                raise Failure(f"the setup program ended with {code}")
            config = self.h.last_json(s.wine(test_service.ZSERVICE_COPY, "config",
                                             timeout=120).stdout, "config")
            if config.get("state") != test_service.RUNNING:
                raise Failure(f"the clock service does not run: {config}")
            s.program_dir = installer.install_dir
            s.start_program()
            logs = Logs(s.workdir)
            return {sc.key: self.scenario_runs(s, sc, logs, service_pid=config["pid"])
                    for sc in scenarios}
        finally:
            s.close()


def scenarios_table(ts) -> list:
    """Every scenario, in the order they run."""
    precise = ts.precise_page

    def plain(offset: float, **more) -> dict:
        return dict(body=ts.live_page(offset), **more)

    def contradicted(offset: float) -> dict:
        return dict(body=ts.live_page(offset), clock_header="both", clock_offset=offset + 30)

    def slow_right(offset: float) -> dict:
        return plain(0.0, delay=0.4)

    return [
        # key, title, session, page, kind, source its estimates name, limit
        Scenario("precise", "Precise page (T2 T3), http, at once", "http", precise, "fixed",
                 "header", 5),
        Scenario("delayed", "Precise page, 0.3 s before T3", "http",
                 lambda x: precise(x, delay=0.3), "fixed", "header", 5),
        Scenario("t3", "Precise page, T3 alone", "http", lambda x: precise(x, "t3"), "fixed",
                 "header", 5),
        Scenario("plain", "Plain page (no header)", "http", plain, "body", "body"),
        Scenario("contradicting", "Header 30 s off the body", "http", contradicted, "body",
                 "body"),
        Scenario("right", "Right clock behind a slow plain page (0.4 s)", "http", slow_right,
                 "still", "body"),
        Scenario("proxy", "Precise page through the user's proxy", "http", precise, "fixed",
                 "header", 10, proxy=True),
        Scenario("https", "Precise page over https", "https", precise, "fixed", "header", 10),
        Scenario("service", "Precise page, set by the clock service (https)", "service",
                 precise, "fixed", "header", 10),
    ]


def measure(args) -> int:
    build = Path(args.build_dir).resolve()
    out = Path(args.out).resolve()
    work = Path(args.work).resolve() if args.work else out / "accuracy-work"
    out.mkdir(parents=True, exist_ok=True)
    work.mkdir(parents=True, exist_ok=True)
    began = time.monotonic()
    way, slowdown = wine_way(build)
    kind = host_kind()
    log(f"{host_sentence(kind)}; {way}")
    # The harness reads these when imported: the builds, its work folder (a template prefix
    # and test authority of its own, apart from the test suite's), the time limits.
    os.environ.update(ZELMORA_BUILD_DIR=str(build), ZELMORA_E2E_DIR=str(work),
                      ZELMORA_E2E_SLOWDOWN=f"{slowdown:g}", PYTHONDONTWRITEBYTECODE="1")
    os.environ.pop("ZELMORA_E2E_WINEDEBUG", None)
    for exe in ("ZELMORA_EXE", "ZELMORA_PROBE", "ZELMORA_SHELL_PROBE", "ZELMORA_PROGRAM_FACTS",
                "ZELMORA_HTTPS_SETUP", "ZELMORA_ZSERVICE", "ZELMORA_E2E_PORT"):
        os.environ.pop(exe, None)
    sys.dont_write_bytecode = True
    bench = Bench(build, args.runs)
    table = scenarios_table(bench.ts)
    if args.only:
        wanted = set(args.only.split(","))
        unknown = wanted - {sc.key for sc in table}
        if unknown:
            raise Failure(f"unknown scenarios: {', '.join(sorted(unknown))}")
        table = [sc for sc in table if sc.key in wanted]
    results: dict = {}
    for name, runner, exe in (("http", bench.http, bench.http_exe),
                              ("https", bench.https, bench.tls_exe),
                              ("service", bench.service, bench.tls_exe)):
        chosen = [sc for sc in table if sc.session == name]
        if not chosen:
            continue
        if not exe.is_file():
            results.update({sc.key: ([], f"missing {exe} (build first)") for sc in chosen})
            continue
        log(f"session {name}: {', '.join(sc.key for sc in chosen)}")
        try:
            results.update(runner(chosen))
        except Exception as error:  # noqa: BLE001 - the rows say why, the others still run
            why = str(error) if isinstance(error, Failure) else f"{type(error).__name__}: {error}"
            log(f"session {name} could not run: {why}")
            results.update({sc.key: ([], why) for sc in chosen if sc.key not in results})
    rows = [summarize(sc, *results.get(sc.key, ([], "not reached")), wanted=args.runs)
            for sc in table]
    wall = time.monotonic() - began
    wine_version = subprocess.run([str(REPO / "tools" / "wine-root.sh"), "run", "wine",
                                   "--version"], capture_output=True, text=True).stdout.strip()
    notes = (
        f"Host: {host_sentence(kind)}. {way} {wine_version}, the 32-bit builds for the tests' "
        f"pages (http and https on loopback). {args.runs} Synchronize clicks per scenario; "
        f"pages {OFFSETS[0]:+g} s and {OFFSETS[1]:+g} s off in turn, moved by "
        f"{FRACTION_STEP * 1000:g} ms every second pair. |error| = |N - page offset|, N from "
        f"Wine's \"not allowed: difference N ms\" (whole ms); bound from the program's "
        f"estimate line (the service's own for the service row). RTT in the body's limit is "
        f"the server's answer time plus {UNSEEN_MS:g} ms it cannot see, plus "
        f"{N_RESOLUTION_MS:g} ms for N's resolution. The right clock's |error| column is its "
        f"estimates' |offset| (no step to read one from); its steps are counted from a relay "
        f"trace of NtSetSystemTime, Wine's refusals and the estimate lines. Wall time "
        f"{wall:.0f} s.")
    markdown = (f"# Accuracy of Synchronize\n\n{markdown_table(rows)}\n\n{notes}\n")
    report = {"host": kind, "wine_way": way, "wine": wine_version, "runs_per_scenario": args.runs,
              "rows": rows, "wall_seconds": wall,
              "runs": {key: {"runs": [asdict(r) for r in runs], "stopped": stopped}
                       for key, (runs, stopped) in results.items()}}
    (out / "accuracy.md").write_text(markdown)
    (out / "accuracy.json").write_text(json.dumps(report, indent=2, default=str) + "\n")
    print(markdown)
    print(f"written: {out / 'accuracy.md'}, {out / 'accuracy.json'}")
    return 0 if all(row["ok"] is True for row in rows) else 1


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=10, help="Synchronize clicks per scenario")
    parser.add_argument("--only", help="comma-separated scenario keys (precise, delayed, t3, "
                                       "plain, contradicting, right, proxy, https, service)")
    parser.add_argument("--build-dir", default=str(REPO / "build"),
                        help="the product's build, with i686-e2e and i686-tls")
    parser.add_argument("--out", default=str(REPO / "build" / "bench"))
    parser.add_argument("--work", help="Wine prefixes and logs (default OUT/accuracy-work)")
    args = parser.parse_args(argv)
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    try:
        return measure(args)
    except Failure as error:
        log(f"failed: {error}")
        return 2


if __name__ == "__main__":
    sys.exit(main())

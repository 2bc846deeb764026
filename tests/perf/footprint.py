#!/usr/bin/python3
"""Footprint of Zelmora.exe against a bare Win32 window program, both under Wine.

    footprint.py product-flags BUILD_DIR/i686
        prints the product's compile flags and link flags (two lines), read from its CMake
        build, so that the bare program is built exactly the same way.
    footprint.py measure --ours EXE --bare EXE --probe EXE
                         [--runs N] [--starts K] [--idle-seconds S] [--out DIR] [--work DIR]
        runs both 32-bit (--bits 64: 64-bit) programs side by side under the Wine 10 root (each
        in its own Wine prefix, wineserver and Xvfb display, so they share the idle minute) N
        times and writes footprint.md and footprint.json into --out.

Per run and program:
- start-up: host wall clock just before spawning `wine EXE` to the moment a probe polling
  every millisecond or two inside the prefix sees the window visible with "Ready." in
  control 115 (the median of K start-ups per run, the two programs alternating), and the
  CPU time the program had used by then;
- CPU: utime+stime of the program's Linux process plus its prefix's wineserver over the idle
  window (a 50 ms timer costs the wineserver work too);
- memory: Private_Clean+Private_Dirty (and Private_Dirty alone) and Rss from smaps_rollup,
  right after start-up and at the end of the idle window.
The pointer is parked in a corner of each screen, away from both windows. The two files'
sizes are compared as well. Wine, X and prefixes come from the end-to-end tests' wine.py.
"""

import argparse
import contextlib
import json
import os
import shlex
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import wine as w  # noqa: E402
from wine import read_text  # noqa: E402

CLK_TCK = os.sysconf("SC_CLK_TCK")
STATUS_ID = 115
READY_TEXT = "Ready."
# Targets set for the product: each ratio ours/bare at most this, and the exe's size.
MAX_RATIO = 1.2
MAX_EXE_BYTES = 284160


# ---------------------------------------------------------------------------------------
# Parsing helpers (unit-tested without Wine)


def parse_proc_stat(text: str) -> tuple:
    """(utime, stime) in clock ticks from /proc/<pid>/stat.

    The command name is in parentheses and may itself hold blanks and parentheses, so the
    fields are counted from the last ')'.
    """
    rest = text[text.rindex(")") + 2:].split()
    # rest[0] is field 3 (state); utime and stime are fields 14 and 15.
    return int(rest[11]), int(rest[12])


def parse_schedstat(text: str) -> int:
    """Nanoseconds on the CPU, the first field of /proc/<pid>/task/<tid>/schedstat."""
    return int(text.split()[0])


def parse_smaps_rollup(text: str) -> dict:
    """{field: kB} from /proc/<pid>/smaps_rollup (the header line is skipped)."""
    values = {}
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0].endswith(":") and parts[2] == "kB":
            values[parts[0][:-1]] = int(parts[1])
    return values


def private_kib(smaps: dict) -> int:
    return smaps.get("Private_Clean", 0) + smaps.get("Private_Dirty", 0)


def parse_probe_line(line: str) -> dict:
    """'ready a=1 b=2' -> {'status': 'ready', 'a': 1, 'b': 2}."""
    words = line.split()
    if not words:
        raise ValueError("empty probe output")
    result = {"status": words[0]}
    for word in words[1:]:
        key, sep, value = word.partition("=")
        if not sep:
            raise ValueError(f"unexpected probe output: {line!r}")
        result[key] = int(value)
    return result


def _flags(command: str, with_value: tuple, keep: Callable[[str], bool]) -> list:
    """The words after the program that keep accepts, without each option of with_value and
    the word after it."""
    flags, skip = [], False
    for token in shlex.split(command)[1:]:
        if skip:
            skip = False
        elif token in with_value:
            skip = True
        elif keep(token):
            flags.append(token)
    return flags


def product_flags(compile_command: str, link_line: str) -> tuple:
    """The compile and link flags of a CMake target, without its files and outputs."""
    compile_flags = _flags(compile_command, ("-o", "-c"), lambda t: not t.startswith(("@", "-I")))
    # -O and -D are compile flags CMake repeats on the link line; the compile's own hold.
    link_flags = _flags(link_line, ("-o",), lambda t: t.startswith("-") and not t.startswith(
        ("-O", "-D", "-Wl,--whole-archive", "-Wl,--no-whole-archive", "-Wl,--out-implib")))
    return compile_flags, link_flags


def ratio(ours: Optional[float], bare: Optional[float]) -> Optional[float]:
    if ours is None or bare is None:
        return None
    if bare == 0:
        return None if ours == 0 else float("inf")
    return ours / bare


@dataclass
class Metric:
    key: str
    label: str
    unit: str
    target: bool = False  # the ratio must stay at or below MAX_RATIO
    digits: int = 0


METRICS = [
    Metric("ready_ms", 'Start to "Ready." shown', "ms", True, 1),
    Metric("startup_cpu_ms", '  CPU the program used until then', "ms", False, 1),
    Metric("cpu_total_ms", "CPU over the idle window, program + wineserver", "ms", True),
    Metric("cpu_program_ms", "  of which the program", "ms"),
    Metric("cpu_server_ms", "  of which the wineserver", "ms"),
    Metric("cpu_prefix_ms", "CPU, every Wine process of the prefix", "ms"),
    Metric("private_kib", "Private memory after start-up", "KiB", True),
    Metric("private_dirty_kib", "  of which Private_Dirty", "KiB"),
    Metric("rss_kib", "RSS after start-up", "KiB"),
    Metric("private_end_kib", "Private memory at the end of the idle window", "KiB"),
]


def summarize(runs: dict, exe32: dict) -> list:
    """Rows of medians (and ranges) for 'ours' and 'bare', with ratio and verdict.

    runs: {"ours": [per-run dict], "bare": [...]}; exe32: {"ours": bytes, "bare": bytes}.
    """
    rows = []
    for m in METRICS:
        row = {"key": m.key, "label": m.label, "unit": m.unit, "digits": m.digits}
        for side in ("ours", "bare"):
            values = [r[m.key] for r in runs.get(side, []) if r.get(m.key) is not None]
            row[side] = statistics.median(values) if values else None
            row[side + "_range"] = (min(values), max(values)) if values else None
        row["ratio"] = ratio(row["ours"], row["bare"])
        row["target"] = f"<= {MAX_RATIO}" if m.target else ""
        row["ok"] = (row["ratio"] is not None and row["ratio"] <= MAX_RATIO) if m.target else None
        rows.append(row)
    ours = exe32.get("ours")
    rows.append({"key": "exe32_bytes", "label": "32-bit exe size", "unit": "bytes", "digits": 0,
                 "ours": ours, "bare": exe32.get("bare"), "ours_range": None, "bare_range": None,
                 "ratio": ratio(ours, exe32.get("bare")), "target": f"<= {MAX_EXE_BYTES:,}",
                 "ok": ours is not None and ours <= MAX_EXE_BYTES})
    return rows


def _number(value, digits: int) -> str:
    if value is None:
        return "-"
    return f"{value:,.{digits}f}"


def _cell(row: dict, side: str) -> str:
    text = _number(row[side], row["digits"])
    span = row.get(side + "_range")
    if span and span[0] != span[1]:
        text += f" ({_number(span[0], row['digits'])}–{_number(span[1], row['digits'])})"
    return text


def markdown_table(rows: list) -> str:
    lines = ["| Measure | Unit | Zelmora (min–max) | Bare window (min–max) | Ours/bare "
             "| Target | OK |",
             "|---|---|---:|---:|---:|---|---|"]
    for row in rows:
        r = row["ratio"]
        ratio_text = "-" if r is None else ("inf" if r == float("inf") else f"{r:.2f}")
        ok = {True: "yes", False: "**no**", None: ""}[row["ok"]]
        lines.append(f"| {row['label'].strip()} | {row['unit']} | {_cell(row, 'ours')} | "
                     f"{_cell(row, 'bare')} | {ratio_text} | {row['target']} | {ok} |")
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------
# Processes


def log(message: str):
    print(f"[footprint {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


class Failure(Exception):
    pass


def cpu_ticks(pid: int) -> Optional[int]:
    text = read_text(f"/proc/{pid}/stat")
    if not text:
        return None
    utime, stime = parse_proc_stat(text)
    return utime + stime


def threads_cpu_ms(pid: int) -> Optional[float]:
    """CPU time of the process's live threads, to the nanosecond (stat counts 10 ms ticks)."""
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return None
    texts = [read_text(f"/proc/{pid}/task/{tid}/schedstat") for tid in tids]
    return sum(parse_schedstat(t) for t in texts if t) / 1e6


def ticks_to_ms(ticks: int) -> float:
    return ticks * 1000.0 / CLK_TCK


class Started:
    """Every process this driver started, so each is ended by its own id. The root's Wine
    ends a command with the thread that started it, so all start from the main thread."""

    def __init__(self):
        self.processes: list = []

    def popen(self, args, **kwargs) -> subprocess.Popen:
        process = subprocess.Popen(args, **kwargs)
        self.processes.append(process)
        return process

    @staticmethod
    def end(process: Optional[subprocess.Popen], timeout: float = 10):
        if process is None or process.poll() is not None:
            return
        with contextlib.suppress(ProcessLookupError):
            process.kill()
        with contextlib.suppress(subprocess.TimeoutExpired):
            process.wait(timeout)

    def end_all(self):
        processes, self.processes = self.processes, []
        for process in reversed(processes):
            self.end(process)


STARTED = Started()


def wait_line(process: subprocess.Popen, timeout: float) -> str:
    """The next line the process prints (its stdout is a pipe), within timeout seconds."""
    result: list = []
    reader = threading.Thread(target=lambda: result.append(process.stdout.readline()),
                              daemon=True)
    reader.start()
    reader.join(timeout)
    if not result or not result[0]:
        raise Failure(f"no output from {process.args} within {timeout} s")
    return result[0].strip()


@dataclass
class Side:
    """One program under test, with its own prefix, wineserver and display."""
    name: str
    exe: Path
    window_class: str
    probe: Path
    display: w.XDisplay
    work: Path
    wine: w.Wine
    prefix: Path = field(init=False)
    env: dict = field(default_factory=dict)
    server: Optional[subprocess.Popen] = None
    hold: Optional[subprocess.Popen] = None
    program: Optional[subprocess.Popen] = None
    server_pid: int = 0  # the Linux processes of the wineserver and the program
    program_pid: int = 0

    def __post_init__(self):
        self.prefix = self.work / "prefix"

    def run(self, *args, **kwargs) -> subprocess.Popen:
        """Starts a program of the prefix (C:\\bench\\...) or wineserver."""
        command = args if args[0] == "wineserver" else ("wine", f"C:\\bench\\{args[0]}", *args[1:])
        return STARTED.popen(self.wine.command(*command), env=self.env,
                             cwd=self.prefix / "drive_c" / "bench", **kwargs)

    def setup(self, template: Path):
        """A fresh prefix with its server and desktop running and idle."""
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", str(template), str(self.prefix)], check=True)
        w.give_server_dir(self.prefix)
        bench = self.prefix / "drive_c" / "bench"
        bench.mkdir()
        shutil.copy2(self.exe, bench / self.exe.name)
        shutil.copy2(self.probe, bench / "ready_probe.exe")
        self.env = w.wine_env(self.prefix, self.display.name)
        self.server = self.run("wineserver", "-f", "-p", stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        with open(self.work / "hold.log", "ab") as err:
            self.hold = self.run("ready_probe.exe", "hold", "30", stdout=subprocess.PIPE,
                                 stderr=err, text=True)
        try:
            line = wait_line(self.hold, 60)
        except Failure:
            raise Failure(f"{self.name}: the desktop did not come up (display {self.display.name}"
                          f", Xvfb {'running' if self.display.process.poll() is None else 'ended'}"
                          f"; see {self.work / 'hold.log'})") from None
        if line != "up tray=1":
            raise Failure(f"{self.name}: the desktop did not come up: {line!r}")
        servers = [pid for pid in w.prefix_pids(self.prefix)
                   if read_text(f"/proc/{pid}/comm").startswith("wineserver")]
        if len(servers) != 1:
            raise Failure(f"{self.name}: wineservers {servers} in the prefix")
        self.server_pid = servers[0]

    def start(self, timeout_s: float = 60) -> dict:
        """Starts the program and returns its start-up times (ms from the spawn)."""
        probe = self.run("ready_probe.exe", "ready", self.window_class, str(STATUS_ID),
                         READY_TEXT, str(int(timeout_s * 1000)), "1", stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True)
        try:
            if wait_line(probe, 30) != "polling":
                raise Failure(f"{self.name}: the probe did not start")
            with open(self.work / "program.log", "ab") as out:
                spawned_ns = time.time_ns()
                self.program = self.run(self.exe.name, stdout=out, stderr=out)
            seen = parse_probe_line(wait_line(probe, timeout_s + 10))
            probe.wait(10)
        finally:
            Started.end(probe)
        if seen["status"] != "ready":
            raise Failure(f"{self.name}: no \"{READY_TEXT}\" within {timeout_s} s: {seen}")
        if seen["window_us"] - spawned_ns / 1000 < 20_000:
            # No Wine process gets a window up this fast: the previous instance's window.
            raise Failure(f"{self.name}: found a window that was there before the start")
        self.program_pid = w.program_pid(self.prefix, self.exe.name)
        if not self.program_pid:
            raise Failure(f"{self.name}: no process {self.exe.name} in the prefix")
        spawned_us = spawned_ns / 1000
        return {"ready_ms": (seen["ready_us"] - spawned_us) / 1000,
                # Much less disturbed than the wall time by load from elsewhere on the host.
                "startup_cpu_ms": threads_cpu_ms(self.program_pid),
                "window_ms": (seen["window_us"] - spawned_us) / 1000,
                "visible_ms": (seen["visible_us"] - spawned_us) / 1000,
                "probe_polls": seen["polls"]}

    def snapshot(self) -> dict:
        smaps = parse_smaps_rollup(read_text(f"/proc/{self.program_pid}/smaps_rollup") or "")
        prefix_ticks = sum(t for t in (cpu_ticks(p) for p in w.prefix_pids(self.prefix))
                           if t is not None)
        return {"program": cpu_ticks(self.program_pid), "server": cpu_ticks(self.server_pid),
                "prefix": prefix_ticks, "xvfb": cpu_ticks(self.display.process.pid),
                "private_kib": private_kib(smaps), "private_dirty_kib": smaps.get("Private_Dirty"),
                "rss_kib": smaps.get("Rss"),
                "time": time.monotonic()}

    def stop_program(self):
        with contextlib.suppress(ProcessLookupError):
            if self.program_pid:
                os.kill(self.program_pid, signal.SIGKILL)
        Started.end(self.program)
        self.program, self.program_pid = None, 0

    def teardown(self):
        self.stop_program()
        Started.end(self.hold)
        if self.env:
            with contextlib.suppress(subprocess.TimeoutExpired, OSError):
                w.wineserver_wait(self.wine, self.env, kill=True)
        Started.end(self.server)
        self.hold = self.server = None
        w.remove_server_dir(self.prefix)
        shutil.rmtree(self.prefix, ignore_errors=True)


def measure_run(sides: list, template: Path, idle_seconds: float, settle_seconds: float,
                first: int, starts: int) -> dict:
    try:
        for side in sides:
            side.setup(template)
        # Several start-ups of each program, one at a time so that neither competes with the
        # other for the two cores, alternating which goes first, so that a burst of load from
        # elsewhere hits both alike. The last instance of each stays for the idle window.
        samples: dict = {s.name: [] for s in sides}
        order = sides
        for k in range(starts):
            order = sides if (first + k) % 2 == 0 else sides[::-1]
            for side in order:
                if side.program is not None:
                    side.stop_program()
                    time.sleep(0.5)  # the server closes the ended instance's window
                samples[side.name].append(side.start())
                time.sleep(0.5)
        started = {}
        for side in sides:
            runs = samples[side.name]
            started[side.name] = {key: statistics.median(r[key] for r in runs)
                                  for key in ("ready_ms", "window_ms", "visible_ms",
                                              "startup_cpu_ms")}
            started[side.name]["ready_samples_ms"] = [r["ready_ms"] for r in runs]
        time.sleep(settle_seconds)
        before = {s.name: s.snapshot() for s in sides}
        time.sleep(idle_seconds)
        after = {s.name: s.snapshot() for s in sides}
        results = {}
        for side in sides:
            b, a = before[side.name], after[side.name]
            if a["program"] is None or a["server"] is None:
                raise Failure(f"{side.name}: the program or its wineserver ended while idle")
            program_ms = ticks_to_ms(a["program"] - b["program"])
            server_ms = ticks_to_ms(a["server"] - b["server"])
            results[side.name] = dict(
                started[side.name],
                cpu_program_ms=program_ms,
                cpu_server_ms=server_ms,
                cpu_total_ms=program_ms + server_ms,
                cpu_prefix_ms=ticks_to_ms(a["prefix"] - b["prefix"]),
                cpu_xvfb_ms=ticks_to_ms(a["xvfb"] - b["xvfb"]),
                idle_seconds=a["time"] - b["time"],
                private_kib=b["private_kib"], private_dirty_kib=b["private_dirty_kib"],
                rss_kib=b["rss_kib"],
                private_end_kib=a["private_kib"], rss_end_kib=a["rss_kib"],
                last_start_order=order.index(side))
        return results
    finally:
        for side in sides:
            side.teardown()


def measure(args) -> int:
    out = Path(args.out).resolve()
    work = Path(args.work).resolve() if args.work else out / "perf-work"
    work.mkdir(parents=True, exist_ok=True)
    out.mkdir(parents=True, exist_ok=True)
    exes = {"ours": Path(args.ours).resolve(), "bare": Path(args.bare).resolve()}
    for path in list(exes.values()) + [Path(args.probe)]:
        if not path.is_file():
            raise Failure(f"missing: {path}")
    if exes["ours"].name == exes["bare"].name:
        raise Failure("the two programs need different file names")
    exe32 = {name: exe.stat().st_size for name, exe in exes.items()}
    began = time.monotonic()
    os.environ["ZELMORA_E2E_DIR"] = str(work)  # where wine.py keeps its template
    wine = w.WINES["wine10"]
    template = w.ensure_template(wine)
    displays = {}
    sides = []
    classes = {"ours": "ZelmoraMainWindow", "bare": args.bare_class}
    for name in ("ours", "bare"):
        (work / name).mkdir(exist_ok=True)
        displays[name] = w.XDisplay(work / name / "xvfb.log", first=300).start()
        STARTED.processes.append(displays[name].process)  # ended with the rest on a failure
        sides.append(Side(name, exes[name], classes[name], Path(args.probe).resolve(),
                          displays[name], work / name, wine))
    runs: dict = {"ours": [], "bare": []}
    loads = []
    for i in range(args.runs):
        log(f"run {i + 1}/{args.runs} (idle {args.idle_seconds} s)")
        result = measure_run(sides, template, args.idle_seconds, args.settle_seconds, i % 2,
                             args.starts)
        loads.append(os.getloadavg()[0])
        for name in runs:
            runs[name].append(result[name])
            r = result[name]
            log(f"  {name}: ready {r['ready_ms']:.1f} ms, cpu {r['cpu_total_ms']:.0f} ms "
                f"(program {r['cpu_program_ms']:.0f}, server {r['cpu_server_ms']:.0f}), "
                f"private {r['private_kib']} KiB, rss {r['rss_kib']} KiB")
    for display in displays.values():
        display.stop()
    rows = summarize(runs, exe32)
    if args.bits == 64:  # the size limit is the shipped 32-bit exe's
        rows[-1].update(label="64-bit exe size", target="", ok=None)
    wall = time.monotonic() - began
    report = {"runs": runs, "exe32_bytes": exe32, "rows": rows, "idle_seconds": args.idle_seconds,
              "wall_seconds": wall, "load_average_1min": loads, "clock_ticks_per_second": CLK_TCK,
              "wine": subprocess.run(wine.command("wine", "--version"), capture_output=True,
                                     text=True).stdout.strip(),
              "exes": {k: str(v) for k, v in exes.items()}}
    table = markdown_table(rows)
    notes = (f"Medians of {args.runs} runs (start-up: of each run's median of {args.starts} "
             f"alternating start-ups) under {report['wine']}, both programs running at "
             f"the same time, each in its own prefix, wineserver and Xvfb display; the idle "
             f"window is {args.idle_seconds:g} s, starting {args.settle_seconds:g} s after both "
             f"showed \"{READY_TEXT}\", with the pointer parked in a screen corner. CPU times "
             f"over the idle window come from /proc in "
             f"{1000 // CLK_TCK} ms ticks. 1-minute load average after each run: "
             + ", ".join(f"{x:.2f}" for x in loads) + f". Wall time {wall:.0f} s.")
    title = "Zelmora.exe against a bare Win32 window" if args.bits == 32 else (
        "64-bit builds (32-bit programs run here only through qemu-i386, whose timings mean "
        "nothing)")
    markdown = f"# Footprint: {title}\n\n{table}\n\n{notes}\n"
    (out / "footprint.md").write_text(markdown)
    (out / "footprint.json").write_text(json.dumps(report, indent=2, default=str) + "\n")
    print(markdown)
    print(f"written: {out / 'footprint.md'}, {out / 'footprint.json'}")
    return 0 if all(row["ok"] is not False for row in rows) else 1


def print_product_flags(build_dir: Path) -> int:
    commands = json.loads((build_dir / "compile_commands.json").read_text())
    command = next(c["command"] for c in commands if c["file"].endswith("winmain.cpp"))
    link_txt = (build_dir / "CMakeFiles" / "Zelmora.dir" / "link.txt").read_text()
    link_line = next(line for line in link_txt.splitlines() if "-o Zelmora.exe" in line)
    compile_flags, link_flags = product_flags(command, link_line)
    print(shlex.join(compile_flags))
    print(shlex.join(link_flags))
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    flags = commands.add_parser("product-flags")
    flags.add_argument("build_dir")
    run = commands.add_parser("measure")
    for name in ("ours", "bare", "probe"):
        run.add_argument(f"--{name}", required=True)
    run.add_argument("--bare-class", default="BareMainWindow")
    run.add_argument("--bits", type=int, choices=(32, 64), default=32)
    run.add_argument("--runs", type=int, default=5)
    run.add_argument("--starts", type=int, default=3,
                     help="start-ups of each program per run (the time is their median)")
    run.add_argument("--idle-seconds", type=float, default=60)
    run.add_argument("--settle-seconds", type=float, default=2)
    run.add_argument("--out", default=".")
    run.add_argument("--work")
    args = parser.parse_args(argv)
    if args.command == "product-flags":
        return print_product_flags(Path(args.build_dir))

    def stop(signum, frame):
        raise KeyboardInterrupt

    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop)
    try:
        return measure(args)
    except Failure as error:
        log(f"failed: {error}")
        return 2
    finally:
        STARTED.end_all()


if __name__ == "__main__":
    sys.exit(main())

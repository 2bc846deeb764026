#!/usr/bin/env python3
"""How Wine 10 (tools/wine-root.sh) runs the 32-bit Zelmora.exe on this machine, and that it does.

    tools/host-check.py [--build DIR]             says the way; exit 0: it runs, 1: it does not
    tools/host-check.py --slowdown [--build DIR]  the same, and prints the factor by which the
                                                  end-to-end tests' time limits grow

Natively where the kernel has the 32-bit system call gate; through qemu-i386 where it has not,
or where ZELMORA_NO_32BIT=1 says to act so (tools/wine-root.sh way). The answer comes from
running tools/check32.cpp, built for i686, under Wine 10 in a prefix of its own, once per boot
and way, and is kept in DIR/host-check/ (DIR defaults to <repository>/build).
"""

import argparse
import fcntl
import json
import os
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
TOKEN = "zelmora-host-check-ok"
WINE_ROOT = str(REPO / "tools" / "wine-root.sh")
# How much longer the end-to-end tests' time limits are where qemu-i386 runs the program.
SLOWDOWN_UNDER_QEMU = 3


def boot_id() -> str:
    return Path("/proc/sys/kernel/random/boot_id").read_text().strip()


def way() -> str:
    return subprocess.run([WINE_ROOT, "way"], capture_output=True, text=True, check=True,
                          timeout=60).stdout.strip()


def run_check(work: Path) -> str:
    """Empty when the 32-bit check program ran, else what Wine said."""
    exe = work / "check-i686.exe"
    if not exe.exists():
        subprocess.run(["i686-w64-mingw32-g++", "-Os", "-s", "-static", "-o", str(exe),
                        str(REPO / "tools" / "check32.cpp")], check=True)
    env = dict(os.environ, WINEPREFIX=str(work / "prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    env.pop("DISPLAY", None)
    said = ""
    # Wine now and then fails to start a process at all; a real answer repeats.
    for _ in range(3):
        result = subprocess.run([WINE_ROOT, "run", "wine", str(exe)], env=env, cwd=work,
                                capture_output=True, text=True, timeout=600)
        if TOKEN in result.stdout:
            return ""
        lines = [line for line in (result.stdout + result.stderr).splitlines()
                 if line.strip() and "XDG_RUNTIME_DIR" not in line]
        said = f"exit code {result.returncode}" + (
            f", last output: {' | '.join(lines[-3:])}" if lines else ", no output")
    return said


def answer(build: Path) -> dict:
    work = build / "host-check"
    work.mkdir(parents=True, exist_ok=True)
    found_way = way()
    cache = work / f"answer-{found_way}.json"
    with open(work / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # test.sh and run.sh may ask at once
        try:
            known = json.loads(cache.read_text())
            if known.get("boot_id") == boot_id() and known.get("runs"):
                return known
        except (OSError, ValueError):
            pass
        said = run_check(work)
        found = {"way": found_way, "runs": not said, "said": said, "boot_id": boot_id()}
        cache.write_text(json.dumps(found))
        return found


def sentence(found: dict) -> str:
    if found["way"] == "native":
        how = "This machine runs 32-bit code: Wine 10 runs the 32-bit Zelmora.exe natively"
    else:
        cause = ("ZELMORA_NO_32BIT=1 asks to act as a machine with" if os.environ.get(
            "ZELMORA_NO_32BIT") == "1" else "this machine's kernel has")
        how = (f"{cause} no 32-bit system call gate: Wine 10 runs the 32-bit Zelmora.exe "
               "through qemu-i386 (tools/wine-root.sh)")
    if found["runs"]:
        return how + "."
    return f"{how}, but a 32-bit test program did not run that way: {found['said']}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--slowdown", action="store_true",
                        help="print the factor by which the tests' time limits grow")
    parser.add_argument("--build", type=Path, default=REPO / "build")
    args = parser.parse_args()
    try:
        found = answer(args.build.resolve())
    except (OSError, subprocess.SubprocessError) as error:
        print(f"host-check: could not find out how Wine runs 32-bit programs here: {error}",
              file=sys.stderr)
        return 1
    print(sentence(found), file=sys.stderr if args.slowdown else sys.stdout)
    if args.slowdown:
        print(1 if found["way"] == "native" else SLOWDOWN_UNDER_QEMU)
    return 0 if found["runs"] else 1


if __name__ == "__main__":
    sys.exit(main())

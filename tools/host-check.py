#!/usr/bin/env python3
"""Whether Wine 10 (tools/wine-root.sh) runs 32-bit Windows programs on this machine.

    tools/host-check.py [--build DIR]          says the answer; exit 0: yes, 3: no
    tools/host-check.py --arch [--build DIR]   prints the word size Wine 10 runs; exit 0

Some kernels have no 32-bit system call gate; there Wine's WoW64 start-up of any 32-bit
program dies at once, and the 64-bit build of the same sources stands in for the product.
The answer is found once per boot, by running tools/check32.cpp built for i686 (and, when
that fails, for x86_64) in a prefix of its own, and kept in DIR/host-check/ (DIR defaults to
<repository>/build). With ZELMORA_NO_32BIT=1 Wine 10 refuses 32-bit system calls
(tools/wine-root.sh), so any machine answers no and the stand-in path can be tried anywhere.
Exit 1: the check itself could not be made.
"""

import argparse
import fcntl
import json
import os
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
TOKEN = "zelmora-host-check-ok"
FORCE = "ZELMORA_NO_32BIT"
RUNS, CANNOT, BROKEN = 0, 3, 1


def boot_id() -> str:
    return Path("/proc/sys/kernel/random/boot_id").read_text().strip()


def has_32bit_gate() -> bool:
    """Runs a 32-bit Linux program of three instructions (exit(42) through int 0x80)."""
    code = bytes.fromhex("b801000000" "bb2a000000" "cd80")
    base, header, entry_size = 0x08048000, 52, 32
    size = header + entry_size + len(code)
    elf = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack(
        "<HHIIIIIHHHHHH", 2, 3, 1, base + header + entry_size, header, 0, 0, header,
        entry_size, 1, 0, 0, 0)
    elf += struct.pack("<8I", 1, 0, base, base, size, size, 5, 0x1000) + code
    with tempfile.TemporaryDirectory() as scratch:
        program = Path(scratch) / "gate32"
        program.write_bytes(elf)
        program.chmod(0o700)
        try:
            return subprocess.run([str(program)], timeout=10).returncode == 42
        except OSError:  # the kernel does not even load 32-bit programs
            return False


def build_check(work: Path, arch: str) -> Path:
    exe = work / f"check-{arch}.exe"
    if not exe.exists():
        subprocess.run([f"{arch}-w64-mingw32-g++", "-Os", "-s", "-static", "-o", str(exe),
                        str(REPO / "tools" / "check32.cpp")], check=True)
    return exe


def run_check(work: Path, exe: Path) -> tuple:
    """(ran, what Wine said): the token printed, else its exit code and last lines."""
    env = dict(os.environ, WINEPREFIX=str(work / "prefix"), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    env.pop("DISPLAY", None)
    said = ""
    # Wine now and then fails to start a process at all; a real answer repeats.
    for _ in range(3):
        result = subprocess.run([str(REPO / "tools" / "wine-root.sh"), "run", "wine", str(exe)],
                                env=env, cwd=work, capture_output=True, text=True, timeout=300)
        if TOKEN in result.stdout:
            return True, ""
        lines = [line for line in (result.stdout + result.stderr).splitlines()
                 if line.strip() and "XDG_RUNTIME_DIR" not in line]
        said = f"exit code {result.returncode}" + (
            f", last output: {' | '.join(lines[-3:])}" if lines else ", no output")
    return False, said


def find_out(work: Path) -> dict:
    runs32, said32 = run_check(work, build_check(work, "i686"))
    if runs32:
        return {"runs32": True, "reason": "a 32-bit test program ran under Wine 10"}
    runs64, said64 = run_check(work, build_check(work, "x86_64"))
    if not runs64:
        raise RuntimeError(f"Wine 10 runs no program here: the 32-bit check gave {said32}; "
                           f"the 64-bit one {said64}")
    if forced():
        cause = (f"{FORCE}=1 has Wine 10 refuse every 32-bit system call, as a kernel without "
                 "the 32-bit system call gate does")
    elif not has_32bit_gate():
        cause = "its kernel has no 32-bit system call gate"
    else:
        cause = f"a 32-bit test program did not run under Wine 10: {said32}"
    return {"runs32": False, "reason": cause}


def forced() -> bool:
    return os.environ.get(FORCE) == "1"


def answer(build: Path) -> dict:
    work = build / "host-check"
    work.mkdir(parents=True, exist_ok=True)
    cache = work / ("answer-forced.json" if forced() else "answer.json")
    with open(work / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # test.sh and run.sh may ask at once
        try:
            known = json.loads(cache.read_text())
            if known.get("boot_id") == boot_id():
                return known
        except (OSError, ValueError):
            pass
        found = find_out(work) | {"boot_id": boot_id()}
        cache.write_text(json.dumps(found))
        return found


def sentence(found: dict) -> str:
    if found["runs32"]:
        return "This machine runs 32-bit code: Wine 10 runs the 32-bit Zelmora.exe here."
    return (f"This machine cannot run 32-bit code ({found['reason']}), so Wine cannot run the "
            "32-bit Zelmora.exe here; the 64-bit build of the same sources stands in for it.")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", action="store_true",
                        help="print i686 or x86_64: the word size Wine 10 tests run")
    parser.add_argument("--build", type=Path, default=REPO / "build")
    args = parser.parse_args()
    try:
        found = answer(args.build.resolve())
    except (OSError, RuntimeError, subprocess.SubprocessError) as error:
        print(f"host-check: could not find out whether Wine runs 32-bit programs here: {error}",
              file=sys.stderr)
        return BROKEN
    print(sentence(found), file=sys.stderr if args.arch else sys.stdout)
    if args.arch:
        print("i686" if found["runs32"] else "x86_64")
        return RUNS
    return RUNS if found["runs32"] else CANNOT


if __name__ == "__main__":
    sys.exit(main())

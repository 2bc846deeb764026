#!/bin/bash
# Benchmarks, each writing a Markdown table (and its figures as JSON) into the build folder.
# - footprint: the 32-bit Zelmora.exe against a bare 32-bit Win32 window program built with
#   the same compiler and flags, both run side by side under the Wine 10 root
#   (tools/wine-root.sh): medians and the ratios ours/bare, footprint.md and footprint.json.
#   Where Wine runs 32-bit programs only through qemu-i386 (tools/wine-root.sh way), it
#   measures both as 64-bit programs and says so.
# - accuracy: how close Synchronize sets the clock from the shipped 32-bit builds for the
#   tests' pages (http, https, through a proxy, by the clock service) under Wine 10, against
#   pages a known fraction of a second off (tests/perf/accuracy.py): accuracy.md and
#   accuracy.json. It builds nothing: the product's build (--product-build) must be there.
#
#   tools/benchmark.sh [footprint|accuracy] [--build-dir DIR] [--runs N] [--starts K]
#                      [--idle-seconds S] [--no-build] [--accuracy-runs N]
#                      [--product-build DIR]
#
# Without footprint or accuracy it runs both. Needs the MinGW-w64 cross compilers, the Wine
# root (tools/install-deps.sh run makes it) and Xvfb. The footprint takes about runs x (idle
# seconds + 15 s), plus the build; the accuracy about 25 s per Synchronize of the service's
# runs and 3 s of the others (10 of each by default); each, the first time, a Wine prefix.
# Exits 1 when a target is missed, 2 when a measurement itself failed.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$repo/build/bench
runs=5
starts=3
idle_seconds=60
build=1
parts="footprint accuracy"
accuracy_runs=10
product_build=$repo/build

usage() {
    sed -n '2,21p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
    exit "${1:-0}"
}

while [ $# -gt 0 ]; do
    case $1 in
        footprint|accuracy) parts=$1; shift ;;
        --accuracy-runs) accuracy_runs=$2; shift 2 ;;
        --accuracy-runs=*) accuracy_runs=${1#*=}; shift ;;
        --product-build) product_build=$2; shift 2 ;;
        --product-build=*) product_build=${1#*=}; shift ;;
        --build-dir) build_dir=$2; shift 2 ;;
        --build-dir=*) build_dir=${1#*=}; shift ;;
        --runs) runs=$2; shift 2 ;;
        --runs=*) runs=${1#*=}; shift ;;
        --starts) starts=$2; shift 2 ;;
        --starts=*) starts=${1#*=}; shift ;;
        --idle-seconds) idle_seconds=$2; shift 2 ;;
        --idle-seconds=*) idle_seconds=${1#*=}; shift ;;
        --no-build) build=0; shift ;;
        -h|--help) usage 0 ;;
        *) echo "unknown option: $1" >&2; usage 64 >&2 ;;
    esac
done
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)

accuracy() {
    # The shipped 32-bit builds as they are: the product's own build makes them.
    /usr/bin/python3 "$repo/tests/perf/accuracy.py" --build-dir "$product_build" \
        --runs "$accuracy_runs" --out "$build_dir"
}

footprint() {
    arch=i686 bits=32
    if [ "$("$repo/tools/wine-root.sh" way)" = emulated ]; then
        arch=x86_64 bits=64
        echo "benchmark: Wine runs 32-bit programs here only through qemu-i386, whose timings" \
            "mean nothing; measuring the 64-bit build instead" >&2
    fi
    perf=$build_dir/perf
    mkdir -p "$perf"

    if [ "$build" = 1 ]; then
        # Only the product's build of the superbuild; the benchmark needs nothing else.
        cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
        cmake --build "$build_dir" -j2 --target "zelmora_$arch"

        # The bare program gets exactly the product's flags, as its CMake build has them.
        flags=$(/usr/bin/python3 "$repo/tests/perf/footprint.py" product-flags "$build_dir/$arch")
        read -r -a compile_flags <<<"$(sed -n 1p <<<"$flags")"
        read -r -a link_flags <<<"$(sed -n 2p <<<"$flags")"
        echo "bare_window: ${compile_flags[*]} ${link_flags[*]}"
        "$arch-w64-mingw32-g++-win32" "${compile_flags[@]}" "${link_flags[@]}" \
            "$repo/tests/perf/bare_window.cpp" -o "$perf/bare_window.exe"
        # The probe is a test tool: its flags do not matter.
        x86_64-w64-mingw32-g++-win32 -O2 -std=c++20 -Wall -Wextra -Werror -municode -static \
            -static-libgcc -static-libstdc++ -s "$repo/tests/perf/ready_probe.cpp" \
            -o "$perf/ready_probe.exe"
    fi

    /usr/bin/python3 "$repo/tests/perf/footprint.py" measure \
        --ours "$build_dir/$arch/Zelmora.exe" --bits "$bits" \
        --bare "$perf/bare_window.exe" \
        --probe "$perf/ready_probe.exe" \
        --runs "$runs" --starts "$starts" --idle-seconds "$idle_seconds" \
        --out "$build_dir" --work "$perf/work"
}

# One part after the other (they share the CPU); the worst exit code wins.
status=0
for part in $parts; do
    set +e
    ( set -e; "$part" )
    code=$?
    set -e
    if [ "$code" -gt "$status" ]; then status=$code; fi
done
exit "$status"

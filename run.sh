#!/bin/bash
# Builds the 32-bit program, serves the time page on this machine and starts the program
# under Wine 10 (tools/wine-root.sh): on your display when there is one, otherwise on a
# virtual screen, writing a screenshot of it to build/run/screenshot.png. It says it started
# only once the program's window shows its status line; otherwise it stops with an error.
# It says first how Wine runs the 32-bit program here: natively, or through qemu-i386 where the
# kernel has no 32-bit system call gate (tools/host-check.py).
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)

tools/install-deps.sh run
tools/host-check.py  # says how the 32-bit program runs here, or what is missing

port=8123
build="$root/build/run-i686"
state="$root/build/run"
mkdir -p "$state"

# What a user gets, here pointed at the page served below; and the probe that reads the
# window back.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DZELMORA_TIME_URL="http://127.0.0.1:$port/cgi-bin/timer.pl" \
    -DZELMORA_BUILD_TEST_TOOLS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target Zelmora zprobe

tools/serve-timepage.sh --port "$port" --state "$state/timepage"

export WINEPREFIX="$state/prefix-wine10"
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
wine() { tools/wine-root.sh run wine "$@"; }
wineserver() { tools/wine-root.sh run wineserver "$@"; }
xvfb_pid=""
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    tools/serve-timepage.sh --stop --state "$state/timepage" || true
}
trap cleanup EXIT

program_dir="$WINEPREFIX/drive_c/Program Files/Zelmora"
probe='C:\zprobe.exe'
if [ ! -d "$WINEPREFIX/drive_c" ]; then
    echo "Preparing Wine for the program (first run only; this may take two minutes)..."
    wine wineboot -i >/dev/null 2>&1
    wineserver -w
fi
mkdir -p "$program_dir"
cp "$build/Zelmora.exe" "$program_dir/"
cp "$build/readme.txt" "$program_dir/"  # the guide as this build names its address
cp "$build/zprobe.exe" "$WINEPREFIX/drive_c/"

display_mode=own
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    # No display: a virtual screen, and on it Wine's own desktop with a taskbar and tray,
    # in which every Wine process of the prefix (the program, the probe) runs.
    display_mode=virtual
    display=99
    while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do
        display=$((display + 1))
    done
    Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$display"
    for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
fi
explorer='HKCU\Software\Wine\Explorer'
if [ "$display_mode" = virtual ]; then
    wine reg add "$explorer" /v Desktop /d Zelmora /f >/dev/null 2>&1
    wine reg add "$explorer\\Desktops" /v Zelmora /d 1024x768 /f >/dev/null 2>&1
    # Wine 10's virtual desktop draws a taskbar, with the notification area, only when asked.
    wine reg add "$explorer\\Desktops\\Zelmora" /v EnableShell /t REG_DWORD /d 1 /f >/dev/null 2>&1
else
    wine reg delete "$explorer" /v Desktop /f >/dev/null 2>&1 || true
fi

log="$state/program.log"
wine "$program_dir/Zelmora.exe" >"$log" 2>&1 &
program=$!

# Started means: its main window exists and its status line shows "Ready." (or, with
# automatic synchronisation on, what came after it).
status=""
for _ in $(seq 60); do
    status=$({ wine "$probe" status 2>/dev/null || true; } |
        sed -n 's/.*"status": *"\([^"]*\)".*/\1/p')
    [ -n "$status" ] && break
    if ! kill -0 "$program" 2>/dev/null; then
        code=0
        wait "$program" || code=$?
        echo "Zelmora did not start: Wine ended it with exit code $code before its window" \
            "appeared. Wine said: $(grep -v XDG_RUNTIME_DIR "$log" | tail -n 3 | tr '\n' ' ')" >&2
        exit 1
    fi
    sleep 1
done
if [ -z "$status" ]; then
    echo "Zelmora did not start: its window did not show its status line within 60 seconds" \
        "(see $log)." >&2
    exit 1
fi

if [ "$display_mode" = own ]; then
    echo "Zelmora runs on $DISPLAY and shows \"$status\"; leave it through its tray icon's" \
        "Exit entry."
    wait "$program" || true
    wineserver -w
    exit 0
fi
sleep 2  # let the clock tick once more
import -window root "$state/screenshot.png"
echo "No display: Zelmora ran on a virtual screen and showed \"$status\";" \
    "screenshot: $state/screenshot.png"

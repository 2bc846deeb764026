#!/bin/bash
# Builds everything and runs every test: unit, static checks and end-to-end under Wine.
# Extra arguments go to ctest (for example -L unit, or -R main_window). Where this machine
# cannot run 32-bit code (tools/host-check.py; ZELMORA_NO_32BIT=1 makes any machine such a
# one), the end-to-end tests run the 64-bit build under Wine 10 in the product's place.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh test
wine10_arch=$(tools/host-check.py --arch)  # says whether this machine runs 32-bit code
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZELMORA_E2E_WINE10_ARCH="$wine10_arch"
cmake --build build -j"$(nproc)"
status=0
ctest --test-dir build --output-on-failure --no-tests=error -j"$(nproc)" "$@" || status=$?
if [ "$wine10_arch" != i686 ]; then
    # The classes, not the prefix fixture that ctest lists with them.
    stand_ins=$(ctest --test-dir build -N -L stand-in "$@" | grep -c ' e2e\.wine10-' || true)
    classes="$stand_ins end-to-end classes"
    [ "$stand_ins" = 1 ] && classes="1 end-to-end class"
    echo "This machine cannot run 32-bit code: $classes ran the" \
        "64-bit build under Wine 10 in its place; the shipped 32-bit Zelmora.exe and its" \
        "setup program were checked statically only."
fi
exit "$status"

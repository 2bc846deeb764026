#!/bin/bash
# Builds everything and runs every test: unit, static checks and end-to-end under Wine.
# Extra arguments go to ctest (for example -L unit, or -R main_window). The end-to-end tests
# run the shipped 32-bit files: natively, or through qemu-i386 where this machine's kernel
# has no 32-bit system call gate (ZELMORA_NO_32BIT=1 acts so on any machine); where neither
# works, this says what is missing and fails. It ends, whatever ctest's status, with the
# unittest classes that skipped cases and why, and the count of all their cases.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh test
slowdown=$(tools/host-check.py --slowdown)  # says how the 32-bit program runs here
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DZELMORA_E2E_SLOWDOWN="$slowdown"
cmake --build build -j"$(nproc)"
# Each unittest run writes its case counts here (tests/run_unittest.py); summed after ctest.
rm -rf build/test-results
status=0
ctest --test-dir build --output-on-failure --no-tests=error -j"$(nproc)" "$@" || status=$?
tools/test-summary.py build/test-results
exit "$status"

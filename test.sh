#!/bin/bash
# Builds everything and runs every test: unit, static checks and end-to-end under Wine.
# Extra arguments go to ctest (for example -L unit, or -R main_window).
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh test
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" "$@"

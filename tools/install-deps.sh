#!/bin/bash
# Installs the Debian packages that building, running and testing need, skipping those
# already present; for run and test also the Wine 10 root that runs the 32-bit program
# (tools/wine-root.sh). Usage: tools/install-deps.sh [build|release|root|run|test]
set -euo pipefail

build_packages=(cmake make g++ g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
    binutils-mingw-w64-x86-64 nsis wixl)
run_packages=(wine wine64 fonts-wine xvfb xauth x11-utils xdotool imagemagick lighttpd perl curl
    python3)
# The release script checks what it packs as the static tests do, and signs it (--sign).
release_packages=(python3 python3-pefile osslsigncode openssl)
test_packages=(googletest libgtest-dev libbenchmark-dev clang libclang-rt-14-dev python3-cryptography
    python3-pefile tinyproxy msitools osslsigncode openssl 7zip)
root_packages=(debootstrap bubblewrap)

case "${1:-test}" in
    build) wanted=("${build_packages[@]}") ;;
    release) wanted=("${build_packages[@]}" "${release_packages[@]}") ;;
    root) wanted=("${root_packages[@]}") ;;
    run) wanted=("${build_packages[@]}" "${run_packages[@]}" "${root_packages[@]}") ;;
    test) wanted=("${build_packages[@]}" "${run_packages[@]}" "${root_packages[@]}"
        "${test_packages[@]}") ;;
    *) echo "usage: $0 [build|release|root|run|test]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # A fresh machine may have stale or no package lists.
    if ! $sudo apt-get install -y --no-install-recommends "${missing[@]}"; then
        $sudo apt-get update
        $sudo apt-get install -y --no-install-recommends "${missing[@]}"
    fi
fi
case "${1:-test}" in
    run | test) $sudo "$(dirname "$0")/wine-root.sh" make ;;
esac

#!/bin/bash
# Builds the 32-bit release, checks it, and packs it with the guide and the time page
# into a zip, and with the guide into a setup program beside it.
# Usage: tools/make-release.sh [--url URL] [--out DIR] [--build-dir DIR]
#   --url URL        the time page the program fetches, http:// or https:// (default: the
#                    build's default); the packed readme.txt names it
#   --out DIR        where the zip and the setup program go (default: build/release)
#   --build-dir DIR  the build folder (default: build/release-i686)
# Both are the same bytes for the same inputs: the zip has fixed timestamps
# (SOURCE_DATE_EPOCH, else 2026-01-01), sorted entries and fixed permissions; the setup
# program stores no file times.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,11s/^# \{0,1\}//p' "$0"; }

url=""
url_given=0
out_dir="build/release"
build_dir="build/release-i686"
while [ $# -gt 0 ]; do
    case "$1" in
        --url) [ $# -ge 2 ] || { usage >&2; exit 2; }; url="$2"; url_given=1; shift 2 ;;
        --url=*) url="${1#*=}"; url_given=1; shift ;;
        --out) [ $# -ge 2 ] || { usage >&2; exit 2; }; out_dir="$2"; shift 2 ;;
        --out=*) out_dir="${1#*=}"; shift ;;
        --build-dir) [ $# -ge 2 ] || { usage >&2; exit 2; }; build_dir="$2"; shift 2 ;;
        --build-dir=*) build_dir="${1#*=}"; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "unknown argument: $1" >&2; usage >&2; exit 2 ;;
    esac
done
# The address becomes a C string in the program: no blanks, quotes or backslashes.
url_pattern='^https?://[^[:space:]"\\]+$'
if [ "$url_given" -eq 1 ] && [[ ! "$url" =~ $url_pattern ]]; then
    echo "--url must be an http:// or https:// address without blanks, quotes or backslashes," \
        "got: $url" >&2
    exit 2
fi

tools/install-deps.sh release
python=/usr/bin/python3

url_arg=(-DZELMORA_TIME_URL="$url")
# Without --url, drop any address an earlier run left in the cache: the default applies.
[ "$url_given" -eq 1 ] || url_arg=(-UZELMORA_TIME_URL)
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release "${url_arg[@]}"
cmake --build "$build_dir" --target Zelmora --parallel "$(nproc)"
exe="$build_dir/Zelmora.exe"
built_url=$(sed -n 's/^ZELMORA_TIME_URL:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
# The version as the build wrote it for the program, so the file names cannot disagree with it.
version_header="$build_dir/generated/zelmora_version.h"
version=$(sed -n 's/^#define ZELMORA_VERSION_TEXT "\(.*\)"$/\1/p' "$version_header")
[ -n "$version" ] || { echo "no ZELMORA_VERSION_TEXT in $version_header" >&2; exit 1; }

PYTHONDONTWRITEBYTECODE=1 "$python" tests/static/check_exe.py "$exe" --arch i686 \
    --version-header "$version_header"

# The setup program wraps the exe just checked; its build does not touch the exe.
cmake --build "$build_dir" --target setup
# An https:// build's setup program installs the clock service too: checked the same way.
if [[ "$built_url" == https://* ]]; then
    PYTHONDONTWRITEBYTECODE=1 "$python" tests/static/check_exe.py "$build_dir/ZelmoraService.exe" \
        --service --arch i686 --version-header "$version_header"
fi
built_setup="$build_dir/Zelmora-$version-setup.exe"
PYTHONDONTWRITEBYTECODE=1 "$python" tests/static/check_exe.py "$built_setup" --setup \
    --version-header "$version_header"

mkdir -p "$out_dir"
zip_path="$out_dir/Zelmora-$version.zip"
# archive name, source file, mode
entries=(
    "Zelmora/Zelmora.exe" "$exe" 644
    "Zelmora/readme.txt" "$build_dir/readme.txt" 644
    "Zelmora/timepage/README.md" timepage/README.md 644
    "Zelmora/timepage/cgi-bin/timer.pl" timepage/cgi-bin/timer.pl 755
)
if [ -f timepage/lighttpd.conf.in ]; then
    entries+=("Zelmora/timepage/lighttpd.conf.in" timepage/lighttpd.conf.in 644)
fi

PYTHONDONTWRITEBYTECODE=1 "$python" - "$zip_path" "${entries[@]}" <<'PYTHON'
import os
import sys
import time
import zipfile

zip_path, rest = sys.argv[1], sys.argv[2:]
entries = sorted((rest[i], rest[i + 1], int(rest[i + 2], 8)) for i in range(0, len(rest), 3))

# Zip times are calendar fields without a zone, from 1980 on, in 2-second steps.
epoch = os.environ.get("SOURCE_DATE_EPOCH")
if epoch:
    stamp = max(time.gmtime(int(epoch))[:6], (1980, 1, 1, 0, 0, 0))
else:
    stamp = (2026, 1, 1, 0, 0, 0)

temporary = zip_path + ".part"
with zipfile.ZipFile(temporary, "w") as archive:
    for name, source, mode in entries:
        with open(source, "rb") as f:
            data = f.read()
        if name.endswith(".txt"):
            # Notepad's line ends, whatever a checkout did to them.
            data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        info = zipfile.ZipInfo(name, date_time=stamp)
        info.create_system = 3  # Unix, so that the permissions below are honoured
        info.external_attr = (0o100000 | mode) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        archive.writestr(info, data, compresslevel=9)
os.replace(temporary, zip_path)
PYTHON
setup_path="$out_dir/Zelmora-$version-setup.exe"
cp "$built_setup" "$setup_path.part"
mv "$setup_path.part" "$setup_path"

size() { stat -c %s "$1"; }
if [[ "$built_url" != https://* ]]; then
    echo "WARNING: $built_url is not https://: ordinary users cannot synchronise: the clock" \
        "service needs https, so the setup program leaves it out." >&2
fi
echo "Time page:  $built_url"
echo "Program:    $exe ($(size "$exe") bytes)"
echo "Release:    $zip_path ($(size "$zip_path") bytes)"
echo "Setup:      $setup_path ($(size "$setup_path") bytes)"

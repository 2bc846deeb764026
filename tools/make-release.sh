#!/bin/bash
# Builds the 32-bit release, checks it, and packs it with the guide and the time page
# into a zip, and with the guide into a setup program and a Windows Installer package beside it.
# Usage: tools/make-release.sh [--url URL] [--out DIR] [--build-dir DIR]
#                              [--sign FILE.p12 [--password-file F] [--timestamp URL]]
#   --url URL            the time page the program fetches, http:// or https:// (default: the
#                        build's default); the packed readme.txt names it
#   --out DIR            where the zip, the setup program and the package go
#                        (default: build/release)
#   --build-dir DIR      the build folder (default: build/release-i686)
#   --sign FILE.p12      signs Zelmora.exe, ZelmoraService.exe, ZelmoraSetup.dll, the
#                        uninstaller, the setup program and the package with osslsigncode,
#                        each before it is packed, with the key and certificate in FILE.p12,
#                        and fails unless each verifies against the certificates in FILE.p12
#                        (so it holds the chain up to its root)
#   --password-file F    FILE.p12's password: F's first line, which only osslsigncode and
#                        openssl read (default: none)
#   --timestamp URL      an RFC 3161 time-stamp server; without it the signatures are valid
#                        only as long as the certificate is
# Unsigned, the zip and the setup program are the same bytes for the same inputs: the zip has
# fixed timestamps (SOURCE_DATE_EPOCH, else 2026-01-01), sorted entries and fixed
# permissions; the setup program stores no file times. The package holds its build's time and
# a new package code. Relative paths are taken from the repository's folder.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '2,23s/^# \{0,1\}//p' "$0"; }

url=""
url_given=0
out_dir="build/release"
build_dir="build/release-i686"
sign_p12=""
password_file=""
timestamp=""
sign_only=""
while [ $# -gt 0 ]; do
    case "$1" in
        --url) [ $# -ge 2 ] || { usage >&2; exit 2; }; url="$2"; url_given=1; shift 2 ;;
        --url=*) url="${1#*=}"; url_given=1; shift ;;
        --out) [ $# -ge 2 ] || { usage >&2; exit 2; }; out_dir="$2"; shift 2 ;;
        --out=*) out_dir="${1#*=}"; shift ;;
        --build-dir) [ $# -ge 2 ] || { usage >&2; exit 2; }; build_dir="$2"; shift 2 ;;
        --build-dir=*) build_dir="${1#*=}"; shift ;;
        --sign) [ $# -ge 2 ] || { usage >&2; exit 2; }; sign_p12="$2"; shift 2 ;;
        --sign=*) sign_p12="${1#*=}"; shift ;;
        --password-file) [ $# -ge 2 ] || { usage >&2; exit 2; }; password_file="$2"; shift 2 ;;
        --password-file=*) password_file="${1#*=}"; shift ;;
        --timestamp) [ $# -ge 2 ] || { usage >&2; exit 2; }; timestamp="$2"; shift 2 ;;
        --timestamp=*) timestamp="${1#*=}"; shift ;;
        # Not for people: how the setup program's build has this script sign the uninstaller
        # and the setup program (ZELMORA_SIGN_COMMAND below).
        --sign-file) [ $# -ge 2 ] || { usage >&2; exit 2; }; sign_only="$2"; shift 2 ;;
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

# The setup program's build runs this script again, to sign one file: no dependencies then.
[ -n "$sign_only" ] || tools/install-deps.sh release

# Signs PATH in place with the --sign key.
sign_file() {
    if ! osslsigncode sign -pkcs12 "$sign_p12" "${sign_options[@]}" -h sha256 \
            -n "Orva Zelmora" -in "$1" -out "$1.signed" >/dev/null; then
        rm -f "$1.signed"
        echo "ERROR: signing $1 failed" >&2
        exit 1
    fi
    mv "$1.signed" "$1"
}

# Fails the release unless PATH's signature verifies against the certificates in the .p12.
verify_file() {
    local said
    if ! said=$(osslsigncode verify -CAfile "$sign_chain" -in "$1" 2>&1); then
        printf '%s\n' "$said" >&2
        echo "ERROR: the signature of $1 does not verify against the certificates in" \
            "$sign_p12" >&2
        exit 1
    fi
    echo "Verified:   $1"
}

if [ -n "$sign_p12" ]; then
    for file in "$sign_p12" "$password_file"; do
        [ -z "$file" ] || [ -r "$file" ] || { echo "cannot read $file" >&2; exit 2; }
    done
    # makensis runs the signing command from elsewhere: absolute paths.
    sign_p12=$(realpath "$sign_p12")
    sign_options=()
    passin=(-passin pass:)
    if [ -n "$password_file" ]; then
        password_file=$(realpath "$password_file")
        sign_options+=(-readpass "$password_file")
        passin=(-passin "file:$password_file")
    fi
    [ -z "$timestamp" ] || sign_options+=(-ts "$timestamp")
    sign_chain=$(mktemp)
    trap 'rm -f "$sign_chain"' EXIT
    # A .p12 exported by Windows may use ciphers OpenSSL 3 keeps in its legacy provider.
    if ! openssl pkcs12 -in "$sign_p12" "${passin[@]}" -nokeys -out "$sign_chain" 2>/dev/null &&
       ! openssl pkcs12 -legacy -in "$sign_p12" "${passin[@]}" -nokeys -out "$sign_chain"; then
        echo "ERROR: cannot read the certificates in $sign_p12 (wrong password?)" >&2
        exit 1
    fi
    if [ -n "$sign_only" ]; then
        sign_file "$sign_only"
        verify_file "$sign_only"
        exit 0
    fi
    # makensis reads the command in single quotes, then a shell its values in double quotes.
    for value in "$PWD" "$sign_p12" "$password_file" "$timestamp"; do
        if [[ "$value" == *[\"\'\$\`\\%]* ]]; then
            echo "signing needs paths and an address without \" ' \$ \` \\ %, got: $value" >&2
            exit 2
        fi
    done
    sign_command="\"$PWD/tools/make-release.sh\" --sign \"$sign_p12\""
    [ -z "$password_file" ] || sign_command+=" --password-file \"$password_file\""
    [ -z "$timestamp" ] || sign_command+=" --timestamp \"$timestamp\""
    sign_command+=" --sign-file"
elif [ -n "$password_file$timestamp$sign_only" ]; then
    echo "--password-file, --timestamp and --sign-file go with --sign" >&2
    exit 2
fi

python=/usr/bin/python3

url_arg=(-DZELMORA_TIME_URL="$url")
# Without --url, drop any address an earlier run left in the cache: the default applies.
[ "$url_given" -eq 1 ] || url_arg=(-UZELMORA_TIME_URL)
# The setup program's build signs the uninstaller and itself with this command; an unsigned
# run drops the one an earlier signed run left in the cache.
sign_arg=(-UZELMORA_SIGN_COMMAND)
[ -z "$sign_p12" ] || sign_arg=(-DZELMORA_SIGN_COMMAND="$sign_command")
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release "${url_arg[@]}" "${sign_arg[@]}"
exe="$build_dir/Zelmora.exe"
service_exe="$build_dir/ZelmoraService.exe"
built_url=$(sed -n 's/^ZELMORA_TIME_URL:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
# The version as the build wrote it for the program, so the file names cannot disagree with it.
version_header="$build_dir/generated/zelmora_version.h"
version=$(sed -n 's/^#define ZELMORA_VERSION_TEXT "\(.*\)"$/\1/p' "$version_header")
[ -n "$version" ] || { echo "no ZELMORA_VERSION_TEXT in $version_header" >&2; exit 1; }
built_setup="$build_dir/Zelmora-$version-setup.exe"
built_msi="$build_dir/Zelmora-$version.msi"
setup_dll="$build_dir/ZelmoraSetup.dll"

# A signed run signs these in place: every run links and packs them afresh, so that no release
# carries what an earlier run, signed or not, left.
rm -f "$exe" "$service_exe" "$setup_dll" "$built_setup" "$built_msi"
cmake --build "$build_dir" --target Zelmora ZelmoraService ZelmoraSetup --parallel "$(nproc)"
if [ -n "$sign_p12" ]; then
    # The installers' folder step runs from a temporary folder: signed like the rest.
    for file in "$exe" "$setup_dll"; do
        sign_file "$file"
        verify_file "$file"
    done
    if [[ "$built_url" == https://* ]]; then
        sign_file "$service_exe"
        verify_file "$service_exe"
    fi
fi

PYTHONDONTWRITEBYTECODE=1 "$python" tests/static/check_exe.py "$exe" --arch i686 \
    --version-header "$version_header"
# An https:// build's setup program installs the clock service too: checked the same way.
if [[ "$built_url" == https://* ]]; then
    PYTHONDONTWRITEBYTECODE=1 "$python" tests/static/check_exe.py "$service_exe" \
        --service --arch i686 --version-header "$version_header"
fi

# The installers wrap the programs just checked; their builds do not touch them.
cmake --build "$build_dir" --target setup msi
PYTHONDONTWRITEBYTECODE=1 "$python" tests/static/check_exe.py "$built_setup" --setup \
    --version-header "$version_header"
if [ -n "$sign_p12" ]; then
    sign_file "$built_msi"
    verify_file "$built_msi"
fi

# Signed still: nothing since has linked it again.
[ -z "$sign_p12" ] || verify_file "$exe"
mkdir -p "$out_dir"
zip_path="$out_dir/Zelmora-$version.zip"
# archive name, source file, mode
entries=(
    "Zelmora/Zelmora.exe" "$exe" 644
    "Zelmora/readme.txt" "$build_dir/readme.txt" 644
    "Zelmora/timepage/README.md" timepage/README.md 644
    "Zelmora/timepage/cgi-bin/timer.pl" timepage/cgi-bin/timer.pl 755
    "Zelmora/policy/zelmora.admx" resources/zelmora.admx 644
    "Zelmora/policy/en-US/zelmora.adml" resources/en-US/zelmora.adml 644
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
msi_path="$out_dir/Zelmora-$version.msi"
cp "$built_msi" "$msi_path.part"
mv "$msi_path.part" "$msi_path"

if [ -n "$sign_p12" ]; then
    verify_file "$setup_path"
    verify_file "$msi_path"
    if [ -z "$timestamp" ]; then
        echo "WARNING: signed without --timestamp: the signatures are valid only as long as" \
            "the certificate is." >&2
    fi
fi

size() { stat -c %s "$1"; }
if [[ "$built_url" != https://* ]]; then
    echo "WARNING: $built_url is not https://: ordinary users cannot synchronise: the clock" \
        "service needs https, so the installers leave it out." >&2
fi
echo "Time page:  $built_url"
echo "Program:    $exe ($(size "$exe") bytes)"
echo "Release:    $zip_path ($(size "$zip_path") bytes)"
echo "Setup:      $setup_path ($(size "$setup_path") bytes)"
echo "Package:    $msi_path ($(size "$msi_path") bytes)"

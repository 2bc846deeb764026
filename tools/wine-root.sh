#!/bin/bash
# The Wine that runs the 32-bit program: Debian 13's Wine 10, in its WoW64 mode, inside a
# Debian 13 root beside this Debian 12 host (whose Wine 8 cannot run 32-bit programs here).
#
#   tools/wine-root.sh make        makes the root unless it is complete already
#   tools/wine-root.sh path        prints the root's folder
#   tools/wine-root.sh mirror      prints the Debian mirror a new root comes from
#   tools/wine-root.sh run CMD...  runs CMD (wine, wineserver, ...) inside the root
#
# The root is made once per machine, in one fixed place outside every clone
# (ZELMORA_WINE_ROOT, default /var/lib/zelmora/wine10-trixie), from Debian's packages only.
# It counts as complete only once its stamp is written at the very end; a half-made root is
# thrown away and made again. `run` binds into the root: /tmp (X sockets, the wineserver's
# socket), /dev, the current folder, WINEPREFIX, and every folder in ZELMORA_WINE_BIND
# (colon-separated). The environment passes through; loopback and /etc/hosts are the host's.
# CMD dies with the process that ran `run` (killing that process ends CMD too, and so does
# the end of the thread that started it); processes CMD starts in turn live on.
# The root trusts no certificate authority of its own: ZELMORA_WINE_CA_BUNDLE names a file of
# PEM certificates that `run` shows, read-only, as its /etc/ssl/certs/ca-certificates.crt.
# ZELMORA_NO_32BIT=1 makes `run` refuse every 32-bit system call, as a kernel without the
# 32-bit system call gate does: no 32-bit program can start, 64-bit ones run as before.
set -euo pipefail

root=${ZELMORA_WINE_ROOT:-/var/lib/zelmora/wine10-trixie}
# Bump when the recipe changes, so existing roots are made again.
stamp_text="zelmora wine root 1: trixie wine wine64 fonts-wine libwine:i386"
stamp="$root/.zelmora-root-complete"

say() { echo "wine-root: $*" >&2; }
fail() { say "error: $*"; exit 1; }

# The Debian mirror this host installs its own release from (its apt sources, deb822 or
# one-line), so that a machine behind a local mirror or proxy works; ZELMORA_DEBIAN_MIRROR
# overrides it.
host_mirror() {
    local release
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [ -n "$release" ] || return 0
    {
        for file in /etc/apt/sources.list.d/*.sources; do
            [ -f "$file" ] && awk -v release="$release" '
                BEGIN { RS = "" }
                $0 !~ /(^|\n)Enabled:[ \t]*no/ && $0 ~ /(^|\n)Types:[^\n]*[ \t]deb([ \t]|\n|$)/ {
                    uris = ""; suites = ""
                    n = split($0, lines, "\n")
                    for (i = 1; i <= n; i++) {
                        if (lines[i] ~ /^URIs:/) uris = substr(lines[i], 6)
                        if (lines[i] ~ /^Suites:/) suites = " " substr(lines[i], 8) " "
                    }
                    if (suites ~ ("[ \t]" release "[ \t]")) { split(uris, u, " "); print u[1] }
                }' "$file"
        done
        [ -f /etc/apt/sources.list ] && awk -v release="$release" '
            $1 == "deb" { i = 2; if ($i ~ /^\[/) while ($i !~ /\]$/) i++; if ($i ~ /^\[/ || $i ~ /\]$/) i++
                          if ($(i + 1) == release) print $i }' /etc/apt/sources.list
    } | head -n 1
}

mirror() {
    local found=${ZELMORA_DEBIAN_MIRROR:-$(host_mirror)}
    [ -n "$found" ] || fail "no Debian mirror: this host's apt sources name none for its own" \
        "release; set ZELMORA_DEBIAN_MIRROR to one (for example your local mirror's .../debian)"
    echo "${found%/}"
}

complete() {
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$stamp_text" ]
}

# Runs a command inside a root as its root user, with a private /proc and /dev.
in_root() {
    local dir=$1
    shift
    bwrap --bind "$dir" / --proc /proc --dev-bind /dev /dev \
        --ro-bind /etc/resolv.conf /etc/resolv.conf \
        --setenv DEBIAN_FRONTEND noninteractive --setenv PATH /usr/sbin:/usr/bin:/sbin:/bin \
        --setenv LANG C.UTF-8 --unsetenv LC_ALL \
        "$@"
}

make_root() {
    complete || build_root
    # Where `run` mounts a certificate bundle; nothing is ever written into it.
    mkdir -p "$root/etc/ssl/certs"
}

build_root() {
    [ "$(id -u)" -eq 0 ] || fail "making the Wine root needs root (run as root or with sudo)"
    local here
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    "$here/install-deps.sh" root

    mkdir -p "$(dirname "$root")"
    exec 9>"$root.lock"
    flock 9
    complete && return 0  # another run made it while this one waited

    local mirror
    mirror=$(mirror)
    say "preparing Wine 10 for the 32-bit program in $root (first time only; about two minutes)"
    local work="$root.work"
    rm -rf "$work" "$root"

    say "debootstrap trixie from $mirror"
    debootstrap --variant=minbase trixie "$work" "$mirror" >"$root.log" 2>&1 ||
        fail "debootstrap failed; see $root.log"

    say "installing wine, wine64 and fonts-wine"
    printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: %s\n' \
        "$mirror" /usr/share/keyrings/debian-archive-keyring.gpg \
        >"$work/etc/apt/sources.list.d/debian.sources"
    rm -f "$work/etc/apt/sources.list"
    {
        in_root "$work" dpkg --add-architecture i386 &&
            in_root "$work" apt-get update --error-on=any &&
            in_root "$work" apt-get install -y --no-install-recommends wine wine64 fonts-wine
    } >>"$root.log" 2>&1 || fail "installing Wine in the root failed; see $root.log"

    # WoW64: the 32-bit Windows side of Wine comes from libwine:i386, whose Linux side is
    # never used; only its PE DLLs are copied next to the 64-bit ones.
    say "adding the 32-bit Windows DLLs of libwine:i386"
    mkdir -p "$work/tmp/libwine-i386"
    {
        in_root "$work" bash -c 'cd /var/tmp && rm -f libwine_*_i386.deb &&
            apt-get download libwine:i386 && dpkg -x libwine_*_i386.deb /var/tmp/libwine-i386 &&
            rm -f libwine_*_i386.deb'
    } >>"$root.log" 2>&1 || fail "fetching libwine:i386 failed; see $root.log"
    local from="$work/var/tmp/libwine-i386/usr/lib/i386-linux-gnu/wine/i386-windows"
    local to="$work/usr/lib/x86_64-linux-gnu/wine/i386-windows"
    [ -d "$from" ] || fail "libwine:i386 has no $from"
    mkdir -p "$to"
    cp -rn "$from"/. "$to"/
    rm -rf "$work/var/tmp/libwine-i386"
    in_root "$work" apt-get clean >>"$root.log" 2>&1 || true

    local version
    version=$(in_root "$work" wine --version 2>>"$root.log") || fail "wine does not run in the root"
    echo "$stamp_text" >"$work/.zelmora-root-complete"
    mv "$work" "$root"
    say "ready: $version in $root"
}

run_in_root() {
    complete || fail "the Wine root $root is missing or incomplete; run tools/wine-root.sh make"
    local binds=(--bind /tmp /tmp --bind "$PWD" "$PWD")
    [ -n "${WINEPREFIX:-}" ] && mkdir -p "$WINEPREFIX" && binds+=(--bind "$WINEPREFIX" "$WINEPREFIX")
    if [ -n "${ZELMORA_WINE_CA_BUNDLE:-}" ]; then
        [ -f "$ZELMORA_WINE_CA_BUNDLE" ] || fail "no certificate bundle $ZELMORA_WINE_CA_BUNDLE"
        binds+=(--tmpfs /etc/ssl/certs
            --ro-bind "$ZELMORA_WINE_CA_BUNDLE" /etc/ssl/certs/ca-certificates.crt)
    fi
    local extra
    IFS=: read -r -a extra <<<"${ZELMORA_WINE_BIND:-}"
    for dir in "${extra[@]}"; do
        [ -n "$dir" ] && [ -e "$dir" ] && binds+=(--bind "$dir" "$dir")
    done
    local seccomp=()
    [ "${ZELMORA_NO_32BIT:-}" = 1 ] && seccomp=(--seccomp 9)
    exec bwrap --die-with-parent --bind "$root" / --proc /proc --dev-bind /dev /dev "${binds[@]}" \
        --ro-bind /etc/resolv.conf /etc/resolv.conf --ro-bind /etc/hosts /etc/hosts \
        "${seccomp[@]}" --chdir "$PWD" "$@" 9< <(no_32bit_filter)
}

# A classic BPF seccomp program: a system call of the i386 ABI (AUDIT_ARCH_I386) kills the
# process, any other is allowed.
no_32bit_filter() {
    printf '\x20\x00\x00\x00\x04\x00\x00\x00'  # load seccomp_data.arch
    printf '\x15\x00\x00\x01\x03\x00\x00\x40'  # i386? on to the next, else skip it
    printf '\x06\x00\x00\x00\x00\x00\x00\x80'  # SECCOMP_RET_KILL_PROCESS
    printf '\x06\x00\x00\x00\x00\x00\xff\x7f'  # SECCOMP_RET_ALLOW
}

case "${1:-}" in
    make) make_root ;;
    path) echo "$root" ;;
    mirror) mirror ;;
    run) shift; [ $# -gt 0 ] || fail "run what?"; run_in_root "$@" ;;
    *) sed -n '2,21p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac

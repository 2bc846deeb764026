#!/bin/bash
# The Wine that runs the 32-bit program: Debian 13's Wine 10 (64-bit, with its 32-bit half for
# WoW64), inside a Debian 13 root beside this Debian 12 host.
#
#   tools/wine-root.sh make          makes the root unless it is complete already
#   tools/wine-root.sh path          prints the root's folder
#   tools/wine-root.sh mirror        prints the Debian mirror a new root comes from
#   tools/wine-root.sh way           prints how 32-bit programs run: native or emulated
#   tools/wine-root.sh run CMD...    runs CMD (wine, wineserver, ...) inside the root
#   tools/wine-root.sh register DIR  registers the root's qemu-i386 for i386 ELF files in the
#                                    binfmt_misc folder DIR, unless one is registered there
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
#
# The way: where the kernel has the 32-bit system call gate, the 32-bit Wine runs natively.
# Where it has not (or ZELMORA_NO_32BIT=1 says to act so), `run` emulates: its root gets a
# user namespace of its own, whose own binfmt_misc instance (Linux 6.7 on) hands i386 ELF
# files to the root's static qemu-i386, so nothing changes for the rest of the machine; with
# ZELMORA_NO_32BIT=1 every 32-bit system call is refused as well, so nothing 32-bit runs
# natively. Only where the kernel has no gate and no such instance can be made does it
# register qemu-i386 with the machine's binfmt_misc, as a package would (zelmora-i386), and
# only when no handler for i386 ELF files is registered there.
set -euo pipefail

root=${ZELMORA_WINE_ROOT:-/var/lib/zelmora/wine10-trixie}
# Bump when the recipe changes, so existing roots are made again.
stamp_text="zelmora wine root 2: trixie wine wine64 wine32:i386 fonts-wine qemu-i386 wine-qemu"
stamp="$root/.zelmora-root-complete"
self=$(realpath "${BASH_SOURCE[0]}")

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

    say "installing wine, wine64, wine32:i386 and fonts-wine"
    printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: %s\n' \
        "$mirror" /usr/share/keyrings/debian-archive-keyring.gpg \
        >"$work/etc/apt/sources.list.d/debian.sources"
    rm -f "$work/etc/apt/sources.list"
    {
        in_root "$work" dpkg --add-architecture i386 &&
            in_root "$work" apt-get update --error-on=any &&
            in_root "$work" apt-get install -y --no-install-recommends wine wine64 wine32:i386 \
                fonts-wine
    } >>"$root.log" 2>&1 || fail "installing Wine in the root failed; see $root.log"

    # WoW64: the 32-bit Windows side of Wine 10 comes from libwine:i386; its PE DLLs also go
    # next to the 64-bit ones, where the 64-bit loader runs 32-bit programs itself.
    local from="$work/usr/lib/i386-linux-gnu/wine/i386-windows"
    local to="$work/usr/lib/x86_64-linux-gnu/wine/i386-windows"
    [ -d "$from" ] || fail "libwine:i386 has no $from"
    mkdir -p "$to"
    cp -rn "$from"/. "$to"/

    # Where the kernel has no 32-bit gate, qemu-i386 runs the 32-bit Wine. Only its static
    # binary is taken: the package's own scripts would register it for the whole machine.
    say "adding qemu-i386 from qemu-user"
    {
        in_root "$work" bash -c 'cd /var/tmp && rm -rf qemu-user* && apt-get download qemu-user &&
            dpkg -x qemu-user_*.deb qemu-user && install -m 755 qemu-user/usr/bin/qemu-i386 \
            /usr/local/bin/qemu-i386 && rm -rf qemu-user*'
    } >>"$root.log" 2>&1 || fail "fetching qemu-user failed; see $root.log"
    # qemu-i386 maps a position-independent main program at 0x400000, where a Windows program
    # without relocations (the setup program) must go. Debian 13's 32-bit Wine loader is one;
    # Debian 12's is linked at a fixed high address and starts Wine 10's ntdll.so the same way.
    say "adding Debian 12's fixed-address 32-bit Wine loader for qemu-i386"
    {
        in_root "$work" bash -c 'cd /var/tmp && rm -rf wine32* &&
            sed s/trixie/bookworm/ /etc/apt/sources.list.d/debian.sources \
                >/etc/apt/sources.list.d/bookworm.sources &&
            apt-get update --error-on=any && apt-get download wine32:i386/bookworm &&
            dpkg -x wine32_*.deb wine32 && mkdir -p /usr/local/lib/wine-qemu &&
            install -m 755 wine32/usr/lib/wine/wine /usr/local/lib/wine-qemu/wine &&
            rm -rf wine32* /etc/apt/sources.list.d/bookworm.sources && apt-get update'
    } >>"$root.log" 2>&1 || fail "fetching Debian 12's wine32 failed; see $root.log"
    in_root "$work" apt-get clean >>"$root.log" 2>&1 || true

    local version
    # The 64-bit loader: the 32-bit one cannot start here where the kernel has no 32-bit gate.
    version=$(in_root "$work" /usr/lib/wine/wine64 --version 2>>"$root.log") ||
        fail "wine does not run in the root"
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
    local seccomp=() launcher=() start=()
    [ "${ZELMORA_NO_32BIT:-}" = 1 ] && seccomp=(--seccomp 9)
    if [ "$(way)" = emulated ]; then
        binds+=(--ro-bind "$root/usr/local/lib/wine-qemu/wine" /usr/lib/wine/wine)
        if private_binfmt; then
            local sandbox=(bwrap --die-with-parent --bind "$root" / --proc /proc --dev-bind /dev /dev
                "${binds[@]}" --ro-bind /etc/resolv.conf /etc/resolv.conf
                --ro-bind /etc/hosts /etc/hosts "${seccomp[@]}" --chdir "$PWD")
            # The wineserver (a 64-bit program) stays out here: from the machine's namespace it
            # may look into the Wine processes of every namespace made below it, from a
            # sibling namespace it could not. One already running for the prefix is kept.
            [ "$(basename "$1")" = wineserver ] && exec "${sandbox[@]}" "$@" 9< <(no_32bit_filter)
            "${sandbox[@]}" wineserver 9< <(no_32bit_filter) 2>/dev/null || true
            launcher=(unshare --user --map-root-user --mount)
            binds+=(--cap-add CAP_SYS_ADMIN --tmpfs /run --ro-bind "$self" /run/wine-root.sh)
            start=(bash /run/wine-root.sh in-namespace)
        else
            global_binfmt
        fi
    fi
    exec "${launcher[@]}" bwrap --die-with-parent --bind "$root" / --proc /proc \
        --dev-bind /dev /dev "${binds[@]}" --ro-bind /etc/resolv.conf /etc/resolv.conf \
        --ro-bind /etc/hosts /etc/hosts "${seccomp[@]}" --chdir "$PWD" "${start[@]}" "$@" \
        9< <(no_32bit_filter)
}

# Native where a 32-bit Linux program runs here. It is tried inside a binfmt_misc instance of
# its own where one can be made, so that a handler registered for the machine cannot answer.
way() {
    if [ "${ZELMORA_NO_32BIT:-}" = 1 ]; then echo emulated; return; fi
    local program code=0
    program=$(mktemp)
    # exit(42) through int 0x80, as a 32-bit ELF file of 96 bytes.
    printf '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08' >"$program"
    printf '\x34\0\0\0\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0' >>"$program"
    printf '\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x60\0\0\0\x60\0\0\0' >>"$program"
    printf '\x05\0\0\0\0\x10\0\0\xb8\x01\0\0\0\xbb\x2a\0\0\0\xcd\x80' >>"$program"
    chmod 700 "$program"
    if private_binfmt; then
        unshare --user --map-root-user --mount sh -c \
            'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && exec "$0"' \
            "$program" 2>/dev/null || code=$?
    else
        "$program" 2>/dev/null || code=$?
    fi
    rm -f "$program"
    if [ "$code" = 42 ]; then echo native; else echo emulated; fi
}

# Whether this kernel gives a new user namespace a binfmt_misc instance of its own.
private_binfmt() {
    unshare --user --map-root-user --mount sh -c \
        'mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc' 2>/dev/null
}

# In the root's own namespace: its binfmt_misc instance, then CMD.
in_namespace() {
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    register /proc/sys/fs/binfmt_misc /usr/local/bin/qemu-i386 >/dev/null
    exec "$@"
}

global_binfmt() {
    local dir=/proc/sys/fs/binfmt_misc what="qemu-i386 cannot run 32-bit programs here:"
    [ "${ZELMORA_NO_32BIT:-}" != 1 ] || fail "$what ZELMORA_NO_32BIT=1 needs a kernel that" \
        "gives a user namespace its own binfmt_misc (Linux 6.7 or later); this machine's" \
        "own binfmt_misc is used only where its kernel has no 32-bit system call gate"
    grep -qw binfmt_misc /proc/filesystems || fail "$what the kernel has no binfmt_misc" \
        "(CONFIG_BINFMT_MISC), and no 32-bit system call gate either"
    [ "$(id -u)" -eq 0 ] || fail "$what registering it with binfmt_misc needs root" \
        "(run as root or with sudo)"
    [ -e "$dir/register" ] || mount -t binfmt_misc binfmt_misc "$dir" ||
        fail "$what binfmt_misc cannot be mounted at $dir"
    local said
    said=$(register "$dir" "$root/usr/local/bin/qemu-i386") || fail "$what $said"
    case $said in registered*) say "$said" ;; esac  # the first time only
}

# Registers QEMU for i386 ELF files in the binfmt_misc folder DIR (flag F: the file is opened
# now), unless some handler there takes them already; that one is left alone and used.
register() {
    local dir=$1 qemu=${2:-$root/usr/local/bin/qemu-i386} entry
    for entry in "$dir"/*; do
        case ${entry##*/} in register | status) continue ;; esac
        if [ -f "$entry" ] && handles_i386 "$entry"; then
            echo "i386 ELF files already go to ${entry##*/} ($entry); it is left as it is"
            return 0
        fi
    done
    [ -x "$qemu" ] || { echo "no $qemu"; return 1; }
    local magic='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":zelmora-i386:M::$magic:$mask:$qemu:F" >"$dir/register" ||
        { echo "the kernel refused the registration"; return 1; }
    echo "registered $qemu for i386 ELF files with binfmt_misc as $dir/zelmora-i386, as a" \
        "package would; it stays (remove it: echo -1 > $dir/zelmora-i386)"
}

# Whether a binfmt_misc entry's magic and mask take the head of a 32-bit x86 ELF program.
handles_i386() {
    local key value offset=0 magic="" mask="" i byte want
    local head=7f454c4601010100000000000000000002000300
    while read -r key value; do
        case $key in offset) offset=$value ;; magic) magic=$value ;; mask) mask=$value ;; esac
    done <"$1"
    [ -n "$magic" ] && [ $((offset * 2 + ${#magic})) -le ${#head} ] || return 1
    mask=${mask:-${magic//?/f}}
    for ((i = 0; i < ${#magic}; i += 2)); do
        byte=$((16#${head:offset * 2 + i:2} & 16#${mask:i:2}))
        want=$((16#${magic:i:2} & 16#${mask:i:2}))
        [ "$byte" = "$want" ] || return 1
    done
}

# A classic BPF seccomp program: a system call of the i386 ABI (AUDIT_ARCH_I386) kills the
# process, any other (qemu-i386's, for the programs it runs) is allowed.
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
    way) way ;;
    run) shift; [ $# -gt 0 ] || fail "run what?"; run_in_root "$@" ;;
    register) [ $# -eq 2 ] || fail "register where?"; register "$2" ;;
    in-namespace) shift; in_namespace "$@" ;;
    *) sed -n '2,33p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac

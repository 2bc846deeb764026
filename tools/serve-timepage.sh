#!/usr/bin/env bash
# Serve the Zelmora time page (timepage/cgi-bin/timer.pl) with a private
# lighttpd instance, for development and tests.
#
#   tools/serve-timepage.sh [--port N] [--bind ADDR] [--state DIR]
#   tools/serve-timepage.sh --stop [--state DIR]
#
# Starting leaves lighttpd running in the background and prints the page URL;
# its PID is kept in DIR/lighttpd.pid so --stop ends exactly that process.
# lighttpd passes the script's own headers through as it writes them, the
# precise "Zelmora-Time: T2 T3" included (curl -i shows it).
set -euo pipefail

repo_root=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
port=8123
bind=127.0.0.1
state=$repo_root/build/timepage
action=start

die() { printf 'serve-timepage: %s\n' "$*" >&2; exit 1; }

usage() {
    sed -n '5,6s/^#   //p' "${BASH_SOURCE[0]}"
}

while (($#)); do
    case $1 in
        --port)  (($# >= 2)) || die "--port needs a value"; port=$2; shift 2 ;;
        --bind)  (($# >= 2)) || die "--bind needs a value"; bind=$2; shift 2 ;;
        --state) (($# >= 2)) || die "--state needs a value"; state=$2; shift 2 ;;
        --stop)  action=stop; shift ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; die "unknown argument: $1" ;;
    esac
done

# Values end up inside quoted lighttpd strings; refuse anything that could
# break out of them rather than trying to escape it.
if ! [[ $port =~ ^[0-9]{1,5}$ ]] || ((10#$port < 1 || 10#$port > 65535)); then
    die "invalid port: $port"
fi
port=$((10#$port))
[[ -n $bind && $bind =~ ^[A-Za-z0-9.:_-]+$ ]] || die "invalid bind address: $bind"
[[ -n $state && $state != *[\"\\$'\n']* ]] || die "invalid state dir: $state"
[[ $repo_root != *[\"\\$'\n']* ]] || die "repository path contains quotes or backslashes"
[[ $state == /* ]] || state=$PWD/$state

pid_file=$state/lighttpd.pid
conf=$state/lighttpd.conf

# A zombie still answers kill -0, but it no longer serves anything.
pid_alive() {
    local pid=$1 stat
    kill -0 "$pid" 2>/dev/null || return 1
    if [[ -r /proc/$pid/stat ]] && read -r stat </proc/"$pid"/stat; then
        stat=${stat##*) }
        [[ ${stat%% *} != Z ]] || return 1
    fi
    return 0
}

# Only a lighttpd started with our config counts, so a reused PID is left alone.
is_our_lighttpd() {
    local pid=$1 comm
    comm=$(ps -o comm= -p "$pid" 2>/dev/null) || return 1
    [[ $comm == lighttpd ]] || return 1
    if [[ -r /proc/$pid/cmdline ]]; then
        tr '\0' '\n' </proc/"$pid"/cmdline | grep -Fqx -- "$conf" || return 1
    fi
    return 0
}

stop_server() {
    [[ -f $pid_file ]] || return 0
    local pid
    pid=$(<"$pid_file")
    if [[ $pid =~ ^[0-9]+$ ]] && pid_alive "$pid"; then
        if is_our_lighttpd "$pid"; then
            kill -TERM "$pid"
            for _ in {1..50}; do
                pid_alive "$pid" || break
                sleep 0.1
            done
            if pid_alive "$pid"; then
                kill -KILL "$pid" 2>/dev/null || true
                sleep 0.2
            fi
            pid_alive "$pid" && die "lighttpd (PID $pid) did not stop"
            echo "stopped lighttpd (PID $pid)"
        else
            echo "PID $pid from $pid_file is not our lighttpd; leaving it alone" >&2
        fi
    fi
    rm -f -- "$pid_file"
}

if [[ $action == stop ]]; then
    stop_server
    exit 0
fi

# /usr/sbin is not always on PATH for ordinary users.
lighttpd_bin=$(PATH=$PATH:/usr/sbin:/sbin command -v lighttpd || true)
if [[ -z $lighttpd_bin ]]; then
    echo "installing lighttpd..."
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq --no-install-recommends lighttpd >/dev/null 2>&1 || {
        apt-get update -qq >/dev/null 2>&1
        apt-get install -y -qq --no-install-recommends lighttpd >/dev/null
    }
    lighttpd_bin=$(PATH=$PATH:/usr/sbin:/sbin command -v lighttpd) || die "lighttpd is not available"
fi

stop_server
mkdir -p -- "$state/tmp"

template=$(<"$repo_root/timepage/lighttpd.conf.in")
# Quoted replacements keep "&" literal (bash 5.2 patsub_replacement).
template=${template//@DOCROOT@/"$repo_root/timepage"}
template=${template//@PORT@/"$port"}
template=${template//@BIND@/"$bind"}
template=${template//@STATEDIR@/"$state"}
printf '%s\n' "$template" >"$conf"

"$lighttpd_bin" -tt -f "$conf" >/dev/null || die "config check failed: $conf"

"$lighttpd_bin" -D -f "$conf" </dev/null >>"$state/lighttpd.out" 2>&1 &
pid=$!
echo "$pid" >"$pid_file"

host=$bind
[[ $host == *:* ]] && host="[$host]"
url="http://$host:$port/cgi-bin/timer.pl"

page_answers() {
    if command -v curl >/dev/null; then
        curl -fsS -o /dev/null --max-time 2 -- "$url" 2>/dev/null
    else
        python3 - "$url" 2>/dev/null <<'PY'
import sys, urllib.request
with urllib.request.urlopen(sys.argv[1], timeout=2) as r:
    sys.exit(0 if r.status == 200 else 1)
PY
    fi
}

for _ in {1..50}; do
    if ! pid_alive "$pid"; then
        rm -f -- "$pid_file"
        cat -- "$state/lighttpd.out" "$state/error.log" >&2 2>/dev/null || true
        die "lighttpd exited during startup"
    fi
    if page_answers; then
        echo "$url"
        exit 0
    fi
    sleep 0.2
done

stop_server >/dev/null
die "no answer from $url within 10 s (see $state/error.log)"

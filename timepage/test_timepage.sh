#!/usr/bin/env bash
# End-to-end check of the time page as the Zelmora client sees it: serve it
# with tools/serve-timepage.sh on a free loopback port and read it over HTTP.
#
#   timepage/test_timepage.sh          (TIMEPAGE_TEST_PORT overrides 18991)
set -euo pipefail

here=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
serve=$here/../tools/serve-timepage.sh
tmp=$(mktemp -d)
state=$tmp/state
failures=0

cleanup() {
    "$serve" --stop --state "$state" >/dev/null 2>&1 || true
    rm -rf -- "$tmp"
}
trap cleanup EXIT

fail() { printf 'FAIL: %s\n' "$*" >&2; failures=$((failures + 1)); }
ok()   { printf 'ok:   %s\n' "$*"; }

# First port from the preferred one up that nothing listens on.
port=${TIMEPAGE_TEST_PORT:-18991}
while (: </dev/tcp/127.0.0.1/"$port") 2>/dev/null; do
    port=$((port + 1))
done

# fetch METHOD URL: sets $status, $headers and $body.
fetch() {
    local method=$1 url=$2
    if command -v curl >/dev/null; then
        local how=()
        [[ $method == HEAD ]] && how=(-I)
        [[ $method == POST ]] && how=(-d x=1)
        status=$(curl -sS --max-time 5 "${how[@]}" -D "$tmp/headers" \
            -o "$tmp/body" -w '%{http_code}' -- "$url") || status=000
    else
        status=$(python3 - "$method" "$url" "$tmp/headers" "$tmp/body" <<'PY'
import sys, urllib.request, urllib.error
method, url, hpath, bpath = sys.argv[1:]
try:
    data = b"x=1" if method == "POST" else None
    r = urllib.request.urlopen(urllib.request.Request(url, data, method=method), timeout=5)
except urllib.error.HTTPError as e:
    r = e
open(hpath, "w").write(str(r.headers))
open(bpath, "wb").write(r.read())
print(r.status)
PY
        ) || status=000
    fi
    headers=$(<"$tmp/headers")
    body=$(<"$tmp/body")
}

sod() { echo $((10#${1:0:2} * 3600 + 10#${1:3:2} * 60 + 10#${1:6:2})); }

# Signed difference a - b in seconds, folded across midnight.
day_diff() {
    local d=$((($1 - $2 + 86400) % 86400))
    ((d > 43200)) && d=$((d - 86400))
    echo "$d"
}

# check_page LABEL URL: the page must satisfy everything the client relies on.
check_page() {
    local label=$1 url=$2 before after t_before t_after prefix clock page_sod lo hi stamps
    t_before=$(date -u +%s.%N)
    fetch GET "$url"
    t_after=$(date -u +%s.%N)
    before=${t_before%.*} after=${t_after%.*}

    [[ $status == 200 ]] || { fail "$label: HTTP $status"; return; }
    local size
    size=$(wc -c <"$tmp/body")
    ((size >= 100)) || fail "$label: body is only $size characters"

    # The client takes the 8 characters before the first " UTC", any case.
    prefix=${body%%\ [Uu][Tt][Cc]*}
    [[ $prefix != "$body" ]] || { fail "$label: no \" UTC\" in body"; return; }
    clock=${prefix: -8}
    [[ $clock =~ ^([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]$ ]] ||
        { fail "$label: \"$clock\" before the first \" UTC\" is not hh:mm:ss"; return; }

    page_sod=$(sod "$clock")
    lo=$(day_diff "$page_sod" $((before % 86400)))
    hi=$(day_diff "$page_sod" $((after % 86400)))
    if ((lo < -2 || hi > 2)); then
        fail "$label: page says $clock, date -u said $(date -u -d "@$before" +%T)..$(date -u -d "@$after" +%T)"
        return
    fi
    check_stamps "$label" "$page_sod" "$t_before" "$t_after" || return 0
    ok "$label: HTTP 200, $size characters, $clock UTC, Zelmora-Time $stamps"
}

# check_stamps LABEL BODY_SOD BEFORE AFTER: the one Zelmora-Time header of $headers must
# read "T2 T3", Unix seconds with 6 decimals, taken in that order while the fetch ran
# (BEFORE..AFTER, this machine's clock), with the body's second that of T2 or later, never
# later than T3.
check_stamps() {
    local label=$1 body_sod=$2 before=$3 after=$4 lines why
    lines=$(grep -i '^zelmora-time:' <<<"$headers" | tr -d '\r') || true
    [[ -n $lines ]] || { fail "$label: no Zelmora-Time header"; return 1; }
    [[ $lines != *$'\n'* ]] || { fail "$label: more than one Zelmora-Time header"; return 1; }
    stamps=${lines#*:}
    stamps=${stamps# }
    [[ $stamps =~ ^[0-9]+\.[0-9]{6}\ [0-9]+\.[0-9]{6}$ ]] ||
        { fail "$label: Zelmora-Time \"$stamps\" is not \"T2 T3\" with 6 decimals"; return 1; }
    why=$(awk -v s="$stamps" -v b="$body_sod" -v lo="$before" -v hi="$after" 'BEGIN {
        split(s, t, " "); t2 = t[1] + 0; t3 = t[2] + 0
        d2 = (t2 % 86400) - b; d3 = (t3 % 86400) - b   # folded across midnight
        if (d2 > 43200) d2 -= 86400; if (d2 < -43200) d2 += 86400
        if (d3 > 43200) d3 -= 86400; if (d3 < -43200) d3 += 86400
        if (t2 > t3) print "T2 after T3"
        else if (t2 < lo - 0.001 || t3 > hi + 0.001)
            printf "not within the fetch, %.6f..%.6f\n", lo, hi
        else if (d2 >= 1 || d3 < 0) print "the body is not of the second of T2 or later up to T3"
    }')
    [[ -z $why ]] || { fail "$label: Zelmora-Time $stamps: $why"; return 1; }
}

# Run the CGI directly at fixed instants of its one clock, Time::HiRes::time:
# hours must stay zero-padded even though the live checks below usually run in
# the afternoon, a second is never rounded up, and the header has both readings.
timer=$here/cgi-bin/timer.pl
while read -r epoch want_time want_date want_stamp; do
    out=$(perl -e 'BEGIN { require Time::HiRes; no warnings "redefine";
                           *Time::HiRes::time = sub { $ARGV[0] } }
                   do $ARGV[1] or die $@ || $!' "$epoch" "$timer") ||
        { fail "timer.pl failed at $epoch"; continue; }
    first=${out%%\ [Uu][Tt][Cc]*}
    if [[ ${first: -8} == "$want_time" && $out == *"<p>$want_date</p>"* &&
          $out == *$'\r\n'"Zelmora-Time: $want_stamp $want_stamp"$'\r\n\r\n'* ]]; then
        ok "direct run at $epoch: $want_time UTC $want_date, Zelmora-Time $want_stamp"
    else
        fail "direct run at $epoch: expected $want_time UTC, $want_date and Zelmora-Time" \
            "$want_stamp $want_stamp"
    fi
done <<'CASES'
0 00:00:00 1970-01-01 0.000000
3723 01:02:03 1970-01-01 3723.000000
951825599.999999 11:59:59 2000-02-29 951825599.999999
4102444799.25 23:59:59 2099-12-31 4102444799.250000
CASES

url=$("$serve" --port "$port" --state "$state") || { echo "FAIL: server did not start" >&2; exit 1; }
pid=$(<"$state/lighttpd.pid")
ok "server PID $pid at $url"

check_page "first fetch" "$url"
plain=$body
grep -qi '^content-type: text/html' <<<"$headers" || fail "Content-Type is not text/html"
grep -qi '^cache-control: no-store' <<<"$headers" || fail "Cache-Control: no-store missing"
check_page "second fetch" "$url"

# Digits change with the clock; everything else must not depend on the query.
check_page "query string" "$url?foo=bar&utc=1"
[[ ${body//[0-9]/9} == "${plain//[0-9]/9}" ]] || fail "query string changed the page"

fetch HEAD "$url"
if [[ $status == 200 ]] && grep -qi '^zelmora-time: ' <<<"$headers"; then
    ok "HEAD: HTTP 200 with Zelmora-Time"
else
    fail "HEAD: HTTP $status or no Zelmora-Time"
fi
fetch POST "$url"
if [[ $status == 200 && ${body//[0-9]/9} == "${plain//[0-9]/9}" ]]; then
    ok "POST: same page"
else
    fail "POST: HTTP $status or different page"
fi

# Nothing but the CGI may be reachable.
for path in / /cgi-bin/ /README.md /lighttpd.conf.in /cgi-bin/timer.pl/x; do
    fetch GET "${url%/cgi-bin/timer.pl}$path"
    if [[ $status == 403 || $status == 404 ]]; then
        ok "$path refused ($status)"
    else
        fail "$path answered HTTP $status"
    fi
done

# Starting again on the same state dir must replace the old server.
"$serve" --port "$port" --state "$state" >/dev/null || fail "restart failed"
new_pid=$(<"$state/lighttpd.pid")
if [[ $new_pid != "$pid" ]] && ! ps -o stat= -p "$pid" 2>/dev/null | grep -qv Z; then
    ok "restart replaced PID $pid with $new_pid"
else
    fail "restart left PID $pid running"
fi

"$serve" --stop --state "$state" >/dev/null
if ps -o stat= -p "$new_pid" 2>/dev/null | grep -qv Z; then
    fail "PID $new_pid still running after --stop"
else
    ok "stopped, PID $new_pid gone"
fi
[[ ! -e $state/lighttpd.pid ]] || fail "pid file left behind"

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all checks passed"

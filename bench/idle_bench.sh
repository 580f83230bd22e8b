#!/usr/bin/env bash
# Waiting on a silent server: the folder-ID job of the command-line program and curl --http1.0
# ask the sample gallery (as their proxy) for a page it never answers. After both have settled,
# their system calls are counted (strace -c) and their CPU time read (/proc/PID/stat) over the
# same SECONDS seconds.
# Usage: bench/idle_bench.sh [quick]   (BUILD=dir, SECONDS_IDLE=n override; default 20, quick 5)
# Prints ROW lines for run_all.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=${BUILD:-$(dirname "$here")/build}
if [[ ${1:-} == quick ]]; then default_seconds=5; else default_seconds=20; fi
seconds=${SECONDS_IDLE:-$default_seconds}

command -v strace >/dev/null || { echo "missing: strace (bash tools/setup.sh installs it)" >&2; exit 2; }
program=$(find_built tessary)
gallery=$(find_built sample-gallery)

work=$(memory_dir idle)
server_pid= ours_pid= curl_pid=
cleanup() { stop_pid "$ours_pid"; stop_pid "$curl_pid"; stop_pid "$server_pid"; rm -rf "$work"; }
trap cleanup EXIT INT TERM
: >"$work/none.ini"

"$gallery" --port 0 --stall '/cgi-bin/gallery.cgi*' >"$work/gallery.out" 2>&1 &
server_pid=$!
for _ in $(seq 100); do grep -q '^listening on' "$work/gallery.out" && break; sleep 0.05; done
proxy=$(sed -n 's/^listening on //p' "$work/gallery.out")
[[ -n $proxy ]] || { echo "the sample gallery did not start" >&2; cat "$work/gallery.out" >&2; exit 1; }

gallery_job "$proxy" "$work/out"
"${job[@]}" >"$work/ours.log" 2>&1 &
ours_pid=$!
curl -sS --http1.0 -x "$proxy" -o /dev/null 'http://www.fotoarchive.com/cgi-bin/gallery.cgi?f=77154' \
  >"$work/curl.log" 2>&1 &
curl_pid=$!
sleep 2

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# Counts the calls of every thread of `pid` for the idle period into $work/NAME.strace.
count_calls() {
  timeout -s INT "$seconds" strace -c -f -p "$1" -o "$work/$2.strace" 2>/dev/null || true
}
ours_cpu=$(cpu_ticks "$ours_pid") curl_cpu=$(cpu_ticks "$curl_pid")
count_calls "$ours_pid" ours & ours_counter=$!
count_calls "$curl_pid" curl & curl_counter=$!
wait "$ours_counter" "$curl_counter"
ours_cpu=$(( $(cpu_ticks "$ours_pid") - ours_cpu )) curl_cpu=$(( $(cpu_ticks "$curl_pid") - curl_cpu ))
calls() { awk '$NF == "total" { print $4 }' "$work/$1.strace"; }
hz=$(getconf CLK_TCK)
per_second() { calc "$(calls "$1") / $seconds"; }
share() { calc "100 * $1 / $hz / $seconds"; }
ours_rate=$(per_second ours) curl_rate=$(per_second curl)
ratio=n/a
awk "BEGIN { exit !($ours_rate > 0) }" && ratio=$(calc "$curl_rate / $ours_rate")
row "waiting ${seconds} s on a silent server" "$ours_rate syscalls/s, $(share "$ours_cpu") % CPU" \
  "curl $curl_rate syscalls/s, $(share "$curl_cpu") %" "$ratio" "ratio of syscall rates"

#!/usr/bin/env bash
# Transport benchmark: capture 1 GiB from a loopback sender with CaptureFile versus curl -o of
# the same bytes from the same sender, and the CPU cost of a ReadLn waiting on a silent line.
# Usage: bench/psock_bench.sh [BUILD_DIR]   (builds the drivers first)
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh
build="${1:-build}"
cmake --build "$build" --target bench_capture bench_stream_sender >/dev/null
size=$((1024 * 1024 * 1024))
# Files go to memory when possible, so the disk does not decide the race.
work="$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT

"$build/bench/bench_stream_sender" "$size" >"$work/port" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port="$(cat "$work/port")"

seconds() { /usr/bin/time -f "%e %M" -o "$work/time" "$@" && cat "$work/time"; }

ours=() theirs=() mem=0
for round in 1 2 3; do
    read -r t m < <(seconds "$build/bench/bench_capture" capture "$port" "$work/ours.bin")
    ours+=("$t"); [ "$m" -gt "$mem" ] && mem="$m"
    [ "$(stat -c %s "$work/ours.bin")" -eq "$size" ] || { echo "short capture" >&2; exit 1; }
    rm -f "$work/ours.bin"
    read -r t _ < <(seconds curl -s -o "$work/curl.bin" "http://127.0.0.1:$port/")
    theirs+=("$t")
    rm -f "$work/curl.bin"
done
o="$(best "${ours[@]}")"
c="$(best "${theirs[@]}")"
awk -v o="$o" -v c="$c" -v m="$mem" -v s="$size" 'BEGIN {
    printf "capture 1 GiB: CaptureFile %.2f s (%.0f MiB/s), curl -o %.2f s (%.0f MiB/s), ratio %.2f x curl\n",
           o, s / 1048576 / o, c, s / 1048576 / c, c / o
    printf "peak memory of the capture: %.1f MiB\n", m / 1024 }'
kill "${pids[0]}"; pids=()

rm -f "$work/port"  # the old sender's port must not pass for the new one's
"$build/bench/bench_stream_sender" 0 >"$work/port" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
read -r wall cpu < <("$build/bench/bench_capture" idle "$(cat "$work/port")" 10)
awk -v w="$wall" -v c="$cpu" 'BEGIN { printf "ReadLn idle %.1f s: %.3f s CPU, %.2f %% of one core\n", w, c, 100 * c / w }'

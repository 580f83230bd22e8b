#!/usr/bin/env bash
# HTTP download benchmark on loopback, one nginx for all runs:
#   1. one 1 GiB file: our client versus curl -o (throughput ratio, our peak memory);
#   2. 2,000 files of 20 KiB, one connection each: our client versus wget --no-http-keep-alive.
# Usage: bench/http_bench.sh [BUILD_DIR]   (default: build; builds target bench_http_get there)
#        BENCH_HTTP_GET=/path/to/bench_http_get bench/http_bench.sh   (use that driver as it is)
# Goals: throughput >= 0.9 x curl, peak memory < 64 MiB, files per second >= wget.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
repo=$(dirname "$here")
build=${1:-$repo/build}
nginx_bin=${NGINX:-/usr/sbin/nginx}
big_size=$((1024 * 1024 * 1024))
small_count=2000
small_size=$((20 * 1024))
runs=${RUNS:-3}
small_runs=${SMALL_RUNS:-5}

for tool in "$nginx_bin" curl wget /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install nginx curl wget time)" >&2; exit 2; }
done

driver=${BENCH_HTTP_GET:-}
if [[ -z $driver ]]; then
  cmake --build "$build" --target bench_http_get >/dev/null
  driver=$(find "$build" -name bench_http_get -type f -perm -u+x | head -n 1)
fi
[[ -x $driver ]] || { echo "bench_http_get not found (is bench/ part of the build?)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tessary-http-bench.XXXXXX")
server_pid=
cleanup() {
  if [[ -n $server_pid ]]; then
    kill "$server_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  [[ ${out_parent:-$work} == "$work" ]] || rm -rf "$out_parent"
}
trap cleanup EXIT INT TERM
chmod 755 "$work"  # nginx's workers may run as another user
mkdir -p "$work/site/small" "$work/temp"
# Downloads land in memory when there is room, so disk write-back does not decide the race.
out_parent=$work
if [[ -d /dev/shm ]] && (( $(df -Pk /dev/shm | awk 'NR == 2 {print $4}') > 3 * 1024 * 1024 )); then
  out_parent=$(mktemp -d /dev/shm/tessary-http-bench.XXXXXX)
fi
out=$out_parent/out
mkdir -p "$out"

ratio() { calc "$1 / $2"; }

echo "preparing files in $work ..."
head -c "$big_size" /dev/urandom >"$work/site/big.bin"
big_sum=$(cksum <"$work/site/big.bin")
head -c "$small_size" /dev/urandom >"$work/small.bin"
for i in $(seq -w 0 $((small_count - 1))); do
  cp "$work/small.bin" "$work/site/small/f$i.bin"
done
start_server write_nginx_conf launch_nginx "$work/error.log"
base="http://127.0.0.1:$port"
for i in $(seq -w 0 $((small_count - 1))); do echo "$base/small/f$i.bin"; done >"$work/list.txt"
echo "nginx on 127.0.0.1:$port (pid $server_pid); downloads into $out; best of $runs (1 GiB) and $small_runs (small files) runs"

# 1 GiB into a file; who goes first alternates, and pending writes are flushed before each run.
ours_t=() curl_t=() ours_peak=0
get_ours() {
  sync
  timed "$driver" "$base/big.bin" "$out/big.bin"
  [[ $(cksum <"$out/big.bin") == "$big_sum" ]] || { echo "our copy of big.bin differs" >&2; exit 1; }
  ours_t+=("$elapsed"); (( peak_kib > ours_peak )) && ours_peak=$peak_kib
  rm -f "$out/big.bin"
}
get_curl() {
  sync
  timed curl -sS -o "$out/big.bin" "$base/big.bin"
  [[ $(cksum <"$out/big.bin") == "$big_sum" ]] || { echo "curl's copy of big.bin differs" >&2; exit 1; }
  curl_t+=("$elapsed")
  rm -f "$out/big.bin"
}
for run in $(seq "$runs"); do
  if (( run % 2 )); then get_ours; get_curl; else get_curl; get_ours; fi
done
ours_big=$(best "${ours_t[@]}"); curl_big=$(best "${curl_t[@]}")
ours_mibs=$(calc "1024 / $ours_big"); curl_mibs=$(calc "1024 / $curl_big")
big_ratio=$(ratio "$curl_big" "$ours_big")
rm -f "$work/site/big.bin"  # the 1 GiB file goes as soon as it has served

# 2,000 small files, one connection each.
ours_t=() wget_t=()
get_many_ours() {
  rm -rf "$out/small"; mkdir -p "$out/small"; sync
  timed "$driver" --list "$work/list.txt" "$out/small"
  (( $(ls "$out/small" | wc -l) == small_count )) || { echo "our client missed files" >&2; exit 1; }
  cmp -s "$out/small/f0000.bin" "$work/small.bin" || { echo "our copy of f0000.bin differs" >&2; exit 1; }
  ours_t+=("$elapsed")
}
get_many_wget() {
  rm -rf "$out/small"; mkdir -p "$out/small"; sync
  timed wget -q --no-http-keep-alive -i "$work/list.txt" -P "$out/small"
  (( $(ls "$out/small" | wc -l) == small_count )) || { echo "wget missed files" >&2; exit 1; }
  wget_t+=("$elapsed")
}
for run in $(seq "$small_runs"); do
  if (( run % 2 )); then get_many_ours; get_many_wget; else get_many_wget; get_many_ours; fi
done
rm -rf "$out/small"
ours_small=$(best "${ours_t[@]}"); wget_small=$(best "${wget_t[@]}")
ours_fps=$(calc "$small_count / $ours_small"); wget_fps=$(calc "$small_count / $wget_small")
small_ratio=$(ratio "$wget_small" "$ours_small")

verdict() { if awk "BEGIN { exit !($1) }"; then echo "goal met"; else echo "goal MISSED"; fi; }
echo
echo "1 GiB Get:      ours ${ours_big}s (${ours_mibs} MiB/s), curl ${curl_big}s (${curl_mibs} MiB/s)"
echo "  throughput ratio ours/curl = $big_ratio (goal >= 0.9: $(verdict "$big_ratio >= 0.9"))"
echo "  our peak memory = $((ours_peak / 1024)) MiB (goal < 64 MiB: $(verdict "$ours_peak < 65536"))"
echo "2,000 x 20 KiB: ours ${ours_small}s (${ours_fps} files/s), wget ${wget_small}s (${wget_fps} files/s)"
echo "  files per second ratio ours/wget = $small_ratio (goal >= 1: $(verdict "$small_ratio >= 1"))"

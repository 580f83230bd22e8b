#!/usr/bin/env bash
# Resuming one big file cut at half, on loopback: the folder-ID job of the command-line program
# on a gallery whose only picture is the big file, nginx as the proxy (as in transfer_bench.sh),
# is killed (SIGKILL) once its partial file holds half of it, then run again to the end; so is
# curl -C - through the same proxy, cut once its output holds half. nginx's access log gives the
# bytes it sent for the file over both runs; their ratio to the file's size is what a resume
# costs (goal: at most 1.05), the data that was in flight at the cut being sent twice: mostly
# what sat unread in the receiving socket, whose buffer the kernel grows with the reader's pace
# (ss shows some 18 MiB for ours, under 1 MiB for curl), so that with a small file (quick mode)
# ours can go over 1.05 where with 1 GiB it stays well below. Each copy must be the file. The
# tools take turns; medians of RUNS runs; everything on memory-backed storage.
# Usage: bench/resume_bench.sh [quick]   (BUILD=dir, RUNS=n, MIB=size override; default 1024, quick 128)
# Prints ROW lines for run_all.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=${BUILD:-$(dirname "$here")/build}
if [[ ${1:-} == quick ]]; then default_mib=128; else default_mib=1024; fi
mib=${MIB:-$default_mib}
runs=${RUNS:-3}
size=$((mib * 1024 * 1024))
path=/gallery/tessa/big.jpg

for tool in /usr/sbin/nginx curl /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (bash tools/setup.sh installs it)" >&2; exit 2; }
done
program=$(find_built tessary)

work=$(memory_dir resume)
server_pid= cut_pid=
cleanup() { stop_pid "$cut_pid"; stop_pid "$server_pid"; rm -rf "$work"; }
trap cleanup EXIT INT TERM
chmod 755 "$work"  # nginx's workers may run as another user
: >"$work/none.ini"
write_one_picture_gallery
echo "writing a $mib MiB file in $work ..." >&2
head -c "$size" /dev/urandom >"$work/site$path"
chmod -R a+rX "$work/site"

nginx_access_log=$work/access.log
start_server write_nginx_conf launch_nginx "$work/error.log"
echo "nginx on 127.0.0.1:$port (pid $server_pid); median of $runs runs" >&2

# resume WHO COPY PARTIAL: runs the command in the array `job` in the background, kills it once
# PARTIAL holds half the file, runs it again to the end, and checks COPY. Files the share of the
# file that nginx sent for both runs and the share that PARTIAL held at the cut under WHO.
declare -A ratios cuts
resume() {
  local who=$1 copy=$2 partial=$3 held=0 state requests
  rm -rf "$work/out"; mkdir -p "$work/out"
  : >"$nginx_access_log"
  "${job[@]}" >"$work/cut.out" 2>&1 &
  cut_pid=$!
  for _ in $(seq 10000); do  # a minute or so at most
    held=$(stat -c %s "$partial" 2>/dev/null || echo 0)
    (( held < size / 2 )) || break
    read -r _ _ state _ 2>/dev/null <"/proc/$cut_pid/stat" || break  # ended, and reaped by bash
    [[ $state != Z ]] || break
    sleep 0.005
  done
  kill -KILL "$cut_pid" 2>/dev/null || true
  wait "$cut_pid" 2>/dev/null || true
  cut_pid=
  held=$(stat -c %s "$partial" 2>/dev/null || echo 0)
  (( held > 0 && held < size )) || { echo "$who was not cut in the middle: $held bytes" >&2; exit 1; }
  timed "${job[@]}"
  cmp -s "$work/out/$copy" "$work/site$path" || { echo "$who's copy differs" >&2; exit 1; }
  for _ in $(seq 100); do  # nginx logs a request once it has sent the last byte
    requests=$(awk -v path="$path" '$1 == path' "$nginx_access_log" | wc -l)
    (( requests < 2 )) || break
    sleep 0.05
  done
  ratios[$who]+=" $(awk -v path="$path" -v size="$size" '$1 == path { sent += $3 } END { printf "%.4f", sent / size }' \
    "$nginx_access_log")"
  cuts[$who]+=" $(calc "100 * $held / $size")"
}
resume_ours() {
  gallery_job "127.0.0.1:$port" "$work/out"
  resume ours "${path#/}" "$work/out/gallery/tessa/.tessary-resume-big.jpg.part"
}
resume_curl() {
  job=(curl -sS -C - -x "127.0.0.1:$port" -o "$work/out/big.jpg" "http://www.fotoarchive.com$path")
  resume curl big.jpg "$work/out/big.jpg"
}

for run in $(seq "$runs"); do
  if (( run % 2 )); then resume_ours; resume_curl; else resume_curl; resume_ours; fi
done
rm -rf "$work/out"

ours=$(median ${ratios[ours]}) theirs=$(median ${ratios[curl]})
row "one $mib MiB picture cut at half, then resumed" "$ours x the file sent" "curl -C - $theirs x" \
  "$(calc "$theirs / $ours")" \
  "bytes nginx sent for both runs / file size, goal <= 1.05; cut at $(median ${cuts[ours]}) % vs $(median ${cuts[curl]}) %"

#!/usr/bin/env bash
# Gallery crawl on loopback: the folder-ID job of the command-line program through nginx as the
# gallery's HTTP proxy, versus wget -r --no-http-keep-alive on a static gallery of the same shape
# (same folders, pages and pictures, the pictures hard links to one 20 KiB file). The two take
# turns; medians of RUNS runs; peak memory from GNU time; everything on memory-backed storage.
# Usage: bench/crawl_bench.sh [quick]   (BUILD=dir, RUNS=n, SCALES="36 364" override)
# Prints ROW lines for run_all.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=${BUILD:-$(dirname "$here")/build}
if [[ ${1:-} == quick ]]; then default_scales="4 36" default_runs=3; else default_scales="36 364" default_runs=5; fi
read -r -a scales <<<"${SCALES:-$default_scales}"  # the sample gallery holds 55 pictures per scale step
runs=${RUNS:-$default_runs}
per_page=20
picture_size=$((20 * 1024))

crawl_setup crawl

# One crawl of ours through nginx, its time and peak memory kept.
crawl_tessary() {
  crawl_ours ours_t
  ours_m+=("$peak_kib")
}
crawl_wget() {
  local dest=$work/out/wget
  rm -rf "$dest"; mkdir -p "$dest"
  wget_job "$dest" --no-http-keep-alive
  timed "${job[@]}"
  check_pictures "$dest" wget
  wget_t+=("$elapsed") wget_m+=("$peak_kib")
}

start_server write_nginx_conf launch_nginx "$work/error.log"
proxy=127.0.0.1:$port
echo "nginx on 127.0.0.1:$port (pid $server_pid); files in $work; median of $runs runs" >&2
for scale in "${scales[@]}"; do
  rm -rf "$work/site"
  read -r pictures _ pages _ < <("$generator" --scale "$scale" --per-page "$per_page" \
    --picture "$work/picture.jpg" --out "$work/site")
  chmod -R a+rX "$work/site"
  ours_t=() wget_t=() ours_m=() wget_m=()
  for run in $(seq "$runs"); do
    if (( run % 2 )); then crawl_tessary; crawl_wget; else crawl_wget; crawl_tessary; fi
  done
  rm -rf "$work/out"
  ours=$(median "${ours_t[@]}") theirs=$(median "${wget_t[@]}")
  row "crawl, $pages pages + $pictures x 20 KiB" "$(calc "$pictures / $ours") pictures/s" \
    "wget -r $(calc "$pictures / $theirs")" "$(calc "$theirs / $ours")" "median s: $ours vs $theirs"
  ours=$(median "${ours_m[@]}") theirs=$(median "${wget_m[@]}")
  row "peak memory, crawl of $pictures" "$(calc "$ours / 1024") MiB" "wget $(calc "$theirs / 1024") MiB" \
    "$(calc "$theirs / $ours")" "ratio: peer / ours"
done

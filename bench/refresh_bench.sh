#!/usr/bin/env bash
# Refreshing a complete mirror, with nothing new to fetch: the gallery of crawl_bench.sh, set up
# the same way, is mirrored once by the folder-ID job of the command-line program with --archive,
# which records every picture, and once by wget -r -nc; then each mirror is refreshed: ours with
# that archive and without it, both with --keep-alive, and wget -r -nc (crawl_bench.sh's flags)
# on its own tree. No picture may be fetched again. Ours asks for every page anew, as new
# pictures may have come, and finds each picture on disk (and looks it up in the archive);
# wget -nc reads the pages of its tree from disk and asks the server for nothing. The refreshes
# take turns; medians of RUNS runs; everything on memory-backed storage.
# Usage: bench/refresh_bench.sh [quick]   (BUILD=dir, RUNS=n, SCALE=n in steps of 55 pictures)
# Prints ROW lines for run_all.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=${BUILD:-$(dirname "$here")/build}
if [[ ${1:-} == quick ]]; then default_scale=36 default_runs=1; else default_scale=364 default_runs=3; fi
scale=${SCALE:-$default_scale}
runs=${RUNS:-$default_runs}
per_page=20
picture_size=$((20 * 1024))

crawl_setup refresh
archive=$work/archive.db

# mirror WHO TIMES: one run of WHO (ours, or wget) over its mirror in $work/out/WHO, with the
# command in the array `job`; its time is added to the array TIMES. No picture may be newer
# than $work/mirrored, made once both mirrors were complete.
mirror() {
  local who=$1 dest=$work/out/$1 fetched
  local -n times=$2
  timed "${job[@]}"
  check_pictures "$dest" "$who"
  if [[ -e $work/mirrored ]]; then
    fetched=$(find "$dest" -name '*.jpg' -newer "$work/mirrored" | wc -l)
    (( fetched == 0 )) || { echo "$who fetched $fetched pictures again" >&2; exit 1; }
  fi
  times+=("$elapsed")
}
# ours TIMES [OPTION...]: our run, with --keep-alive and the options given.
ours() {
  local list=$1
  shift
  gallery_job "127.0.0.1:$port" "$work/out/ours" --keep-alive "$@"
  mirror ours "$list"
}
refresh_wget() {
  wget_job "$work/out/wget" --no-http-keep-alive -nc
  mirror wget wget_t
}

start_server write_nginx_conf launch_nginx "$work/error.log"
read -r pictures _ pages _ < <("$generator" --scale "$scale" --per-page "$per_page" \
  --picture "$work/picture.jpg" --out "$work/site")
chmod -R a+rX "$work/site"
echo "nginx on 127.0.0.1:$port (pid $server_pid); $pictures pictures in $work; median of $runs runs" >&2
first_t=() archive_t=() plain_t=() wget_t=()
mkdir -p "$work/out/ours" "$work/out/wget"
ours first_t --archive "$archive"
refresh_wget
touch "$work/mirrored"
wget_t=()
for run in $(seq "$runs"); do
  if (( run % 2 )); then
    ours archive_t --archive "$archive"; ours plain_t; refresh_wget
  else
    refresh_wget; ours plain_t; ours archive_t --archive "$archive"
  fi
done
rm -rf "$work/out"

with=$(median "${archive_t[@]}") without=$(median "${plain_t[@]}") theirs=$(median "${wget_t[@]}")
work_done="refresh of a complete mirror, $pages pages + $pictures pictures"
row "$work_done" "$(calc "$pictures / $with") pictures/s with --archive" \
  "ours without --archive $(calc "$pictures / $without")" "$(calc "$without / $with")" \
  "median s: $with vs $without; both --keep-alive; first mirror ${first_t[0]} s"
row "$work_done" "$(calc "$pictures / $with") pictures/s with --archive" "wget -r -nc $(calc "$pictures / $theirs")" \
  "$(calc "$theirs / $with")" "median s: $with vs $theirs; ours --keep-alive"

#!/usr/bin/env bash
# Gallery crawl over a distant link: the folder-ID job of the command-line program with
# --keep-alive, and with --keep-alive --connections 4, versus wget -r with its persistent
# connection, all through bench_latency_relay, which holds every byte for half a round trip on
# its way between them and nginx (set up as in crawl_bench.sh). Ours takes the relay as its HTTP
# proxy; wget crawls the static gallery of the same shape through it. The runs take turns;
# medians of RUNS runs for each round trip time; everything on memory-backed storage.
# Usage: bench/latency_bench.sh [quick]   (BUILD=dir, RUNS=n, RTTS="10 50", SCALE=n in steps
# of 55 pictures, CONNECTIONS=n for the parallel row, 0 leaves that row out)
# Prints ROW lines for run_all.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=${BUILD:-$(dirname "$here")/build}
if [[ ${1:-} == quick ]]; then default_scale=4 default_runs=1; else default_scale=36 default_runs=3; fi
scale=${SCALE:-$default_scale}
runs=${RUNS:-$default_runs}
read -r -a rtts <<<"${RTTS:-10 50}"
connections=${CONNECTIONS:-4}
per_page=20
picture_size=$((20 * 1024))

crawl_setup latency
relay=$(find_built bench_latency_relay)

crawl_wget() {
  local dest=$work/out/wget
  rm -rf "$dest"; mkdir -p "$dest"
  wget_job "$dest"
  timed "${job[@]}"
  check_pictures "$dest" wget
  wget_t+=("$elapsed")
}
# report TIMES OPTIONS: the row of our crawls timed in the array TIMES, against wget's.
report() {
  local -n times=$1
  local ours theirs
  (( ${#times[@]} )) || return 0
  ours=$(median "${times[@]}") theirs=$(median "${wget_t[@]}")
  row "crawl over $rtt ms RTT, $pages pages + $pictures pictures, $2" \
    "$(calc "$pictures / $ours") pictures/s" "wget -r $(calc "$pictures / $theirs")" \
    "$(calc "$theirs / $ours")" "median s: $ours vs $theirs"
}
crawl_parallel() { (( connections == 0 )) || crawl_ours parallel_t --keep-alive --connections "$connections"; }

start_server write_nginx_conf launch_nginx "$work/error.log"
nginx_port=$port nginx_pid=$server_pid server_pid=
relay_to=$nginx_port
read -r pictures _ pages _ < <("$generator" --scale "$scale" --per-page "$per_page" \
  --picture "$work/picture.jpg" --out "$work/site")
chmod -R a+rX "$work/site"
echo "nginx on 127.0.0.1:$nginx_port (pid $nginx_pid); files in $work; median of $runs runs" >&2
for rtt in "${rtts[@]}"; do
  start_server : launch_relay "$work/relay.log"
  echo "relay with $rtt ms RTT on 127.0.0.1:$port (pid $server_pid)" >&2
  proxy=127.0.0.1:$port
  single_t=() parallel_t=() wget_t=()
  for run in $(seq "$runs"); do
    if (( run % 2 )); then
      crawl_ours single_t --keep-alive; crawl_parallel; crawl_wget
    else
      crawl_wget; crawl_parallel; crawl_ours single_t --keep-alive
    fi
  done
  stop_pid "$server_pid"; server_pid=
  rm -rf "$work/out"
  report single_t --keep-alive
  report parallel_t "--keep-alive --connections $connections"
done

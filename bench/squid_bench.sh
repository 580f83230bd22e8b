#!/usr/bin/env bash
# Gallery crawl through squid, as behind a company proxy: the folder-ID job of the command-line
# program in its two HTTP modes, one HTTP/1.0 request per connection (the default) and
# --keep-alive, through a squid that caches nothing and takes nginx (set up as in crawl_bench.sh)
# as its origin server, versus wget -r through the same squid: without its persistent connection
# against the default mode, with it against --keep-alive. squid keeps its client connections open
# whatever the request's HTTP version, so the default mode must end each reply at its length.
# Each round trip time of RTTS puts bench_latency_relay between the clients and squid (0: none);
# it delays the bytes, not the set-up of a connection, so it understates what a connection of
# its own costs each request of the default mode over a real distant link.
# The runs take turns; medians of RUNS runs; everything on memory-backed storage.
# Usage: bench/squid_bench.sh [quick]   (BUILD=dir, RUNS=n, SCALE=n in steps of 55 pictures,
# RTTS="0 10")
# Prints ROW lines for run_all.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=${BUILD:-$(dirname "$here")/build}
if [[ ${1:-} == quick ]]; then default_scale=4 default_runs=1; else default_scale=12 default_runs=3; fi
scale=${SCALE:-$default_scale}
runs=${RUNS:-$default_runs}
read -r -a rtts <<<"${RTTS:-0 10}"
per_page=20
picture_size=$((20 * 1024))
squid_crawl_setup squid

# crawl_wget TIMES [OPTION...]: wget -r on nginx's gallery through $proxy.
crawl_wget() {
  local -n times=$1
  local dest=$work/out/wget port=$nginx_port
  shift
  rm -rf "$dest"; mkdir -p "$dest"
  wget_job "$dest" -e use_proxy=on -e "http_proxy=http://$proxy/" "$@"
  timed "${job[@]}"
  check_pictures "$dest" wget
  times+=("$elapsed")
}
crawl_all() {
  crawl_ours closing_t; crawl_wget wget_closing_t --no-http-keep-alive
  crawl_ours kept_t --keep-alive; crawl_wget wget_kept_t
}
crawl_all_reversed() {
  crawl_wget wget_kept_t; crawl_ours kept_t --keep-alive
  crawl_wget wget_closing_t --no-http-keep-alive; crawl_ours closing_t
}
# report TIMES PEER_TIMES MODE PEER: a row of our crawls against wget's.
report() {
  local -n times=$1 peer_times=$2
  local ours theirs
  ours=$(median "${times[@]}") theirs=$(median "${peer_times[@]}")
  row "crawl through squid$link, $pages pages + $pictures pictures, $3" "$(calc "$pictures / $ours") pictures/s" \
    "$4 $(calc "$pictures / $theirs")" "$(calc "$theirs / $ours")" "median s: $ours vs $theirs"
}

start_server write_nginx_conf launch_nginx "$work/error.log"
nginx_port=$port nginx_pid=$server_pid server_pid=
read -r pictures _ pages _ < <("$generator" --scale "$scale" --per-page "$per_page" \
  --picture "$work/picture.jpg" --out "$work/site")
chmod -R a+rX "$work/site"
start_server write_squid_conf launch_squid "$work/squid/cache.log"
squid_port=$port squid_pid=$server_pid server_pid=
relay_to=$squid_port
echo "nginx on 127.0.0.1:$nginx_port (pid $nginx_pid), squid on 127.0.0.1:$squid_port (pid $squid_pid);" \
  "files in $work; median of $runs runs" >&2
for rtt in "${rtts[@]}"; do
  if (( rtt == 0 )); then
    proxy=127.0.0.1:$squid_port link=
  else
    start_server : launch_relay "$work/relay.log"
    echo "relay with $rtt ms RTT on 127.0.0.1:$port (pid $server_pid)" >&2
    proxy=127.0.0.1:$port link=" over $rtt ms RTT"
  fi
  closing_t=() kept_t=() wget_closing_t=() wget_kept_t=()
  for run in $(seq "$runs"); do
    if (( run % 2 )); then crawl_all; else crawl_all_reversed; fi
  done
  stop_pid "$server_pid"; server_pid=
  rm -rf "$work/out"
  report closing_t wget_closing_t "HTTP/1.0 (default)" "wget -r --no-http-keep-alive"
  report kept_t wget_kept_t "--keep-alive" "wget -r"
  report kept_t closing_t "--keep-alive against HTTP/1.0" "tessary HTTP/1.0"
done

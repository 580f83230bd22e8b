#!/usr/bin/env bash
# Gallery crawl against GNU Wget2, whose pages and files share one queue and N connections
# (--max-threads): the folder-ID job of the command-line program versus wget2 -r on the static
# gallery of the same shape (set up as in crawl_bench.sh), without robots, quiet, into a folder
# of its own, both checked for every picture. Three settings, in one run:
# - through bench_latency_relay at each round trip time of RTTS (as in latency_bench.sh: ours
#   takes the relay as its HTTP proxy, wget2 crawls through it as its server): --keep-alive with
#   4 and 8 connections against --max-threads=4, and --keep-alive against --max-threads=1;
# - on loopback at each scale of SCALES: --keep-alive against --max-threads=1, --keep-alive
#   --connections 4 against --max-threads=4, and on the largest scale peak memory with 8;
# - through squid (as in squid_bench.sh), one connection each: the default mode against wget2
#   --no-http-keep-alive, --keep-alive against wget2's persistent connection.
# Each row's note gives the round-trip limit: every request waits one round trip, so C
# connections fetch at most pictures / ((pages + pictures) / C x RTT) pictures per second.
# The runs take turns; medians of RUNS runs, of SLOW_RUNS where one crawl over one connection
# takes a minute or more in round trips alone; everything on memory-backed storage.
# Usage: bench/wget2_bench.sh [quick]   (BUILD=dir, RUNS=n, SLOW_RUNS=n, RTTS="10 50",
# SCALE=n for the relay and squid crawls and SCALES="36 364" for loopback, in steps of 55
# pictures; SCALES=" " leaves loopback out)
# Prints ROW lines for run_all.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
source "$here/../tools/install-missing.sh"
build=${BUILD:-$(dirname "$here")/build}
if [[ ${1:-} == quick ]]; then
  default_scale=4 default_scales="4 36" default_runs=1
else
  default_scale=36 default_scales="36 364" default_runs=3
fi
scale=${SCALE:-$default_scale}
read -r -a scales <<<"${SCALES:-$default_scales}"
runs=${RUNS:-$default_runs}
slow_runs=${SLOW_RUNS:-1}
read -r -a rtts <<<"${RTTS:-10 50}"
per_page=20
picture_size=$((20 * 1024))

install_missing wget2
squid_crawl_setup wget2

# crawl_wget2 TIMES THREADS [OPTION...]: wget2 -r on the static gallery at $site (HOST:PORT),
# its pictures checked and its time added to the array TIMES.
crawl_wget2() {
  local -n times=$1
  local dest=$work/out/wget2
  rm -rf "$dest"; mkdir -p "$dest"
  job=(wget2 -q -r -l inf -nH --robots=off --no-config --no-hsts --max-threads="$2" "${@:3}"
       -P "$dest" "http://$site/index.html")
  timed "${job[@]}"
  check_pictures "$dest" wget2
  times+=("$elapsed")
}
# Peak memory of both with eight connections, beside their times.
memory_ours() { crawl_ours memory_t --keep-alive --connections 8; memory_m+=("$peak_kib"); }
memory_wget2() { crawl_wget2 wget2_memory_t 8; wget2_memory_m+=("$peak_kib"); }

# take_turns RUNS STEP...: RUNS rounds of the STEP commands, in order in the odd rounds and in
# reverse in the even ones, so that neither side always goes first.
take_turns() {
  local count=$1 run i
  local -a steps=("${@:2}")
  for run in $(seq "$count"); do
    for i in "${!steps[@]}"; do
      (( run % 2 )) || i=$(( ${#steps[@]} - 1 - i ))
      ${steps[i]}
    done
  done
}
# The rounds for the crawls at $rtt: fewer when one crawl over one connection spends a minute
# or more in round trips alone.
rounds() { if (( (pages + pictures) * rtt >= 60000 )); then echo "$slow_runs"; else echo "$runs"; fi; }

# limits CONNECTIONS...: the note's round-trip limits at $rtt, in pictures/s.
limits() {
  local c text="RTT limit"
  (( rtt )) || { echo "no RTT added"; return; }
  for c in $(printf '%s\n' "$@" | sort -un); do
    text+=" $c conn $(calc "$pictures * $c * 1000 / (($pages + $pictures) * $rtt)")"
  done
  echo "$text pictures/s"
}
# report WORK TIMES PEER_TIMES PEER CONNECTIONS PEER_CONNECTIONS: a row of our crawls timed in
# the array TIMES against wget2's in PEER_TIMES.
report() {
  local -n times=$2 peer_times=$3
  local ours theirs
  ours=$(median "${times[@]}") theirs=$(median "${peer_times[@]}")
  row "$1" "$(calc "$pictures / $ours") pictures/s" "$4 $(calc "$pictures / $theirs")" \
    "$(calc "$theirs / $ours")" "$(limits "$5" "$6"); median s of ${#times[@]}: $ours vs $theirs"
}
# generate SCALE: the gallery at SCALE, its counts in `pictures` and `pages`.
generate() {
  rm -rf "$work/site"
  read -r pictures _ pages _ < <("$generator" --scale "$1" --per-page "$per_page" \
    --picture "$work/picture.jpg" --out "$work/site")
  chmod -R a+rX "$work/site"
}

over_relay() {
  generate "$scale"
  for rtt in "${rtts[@]}"; do
    start_server : launch_relay "$work/relay.log"
    echo "relay with $rtt ms RTT on 127.0.0.1:$port (pid $server_pid)" >&2
    proxy=127.0.0.1:$port site=127.0.0.1:$port
    one_t=() four_t=() eight_t=() wget2_one_t=() wget2_four_t=()
    take_turns "$(rounds)" "crawl_ours one_t --keep-alive" "crawl_wget2 wget2_one_t 1" \
      "crawl_ours four_t --keep-alive --connections 4" "crawl_wget2 wget2_four_t 4" \
      "crawl_ours eight_t --keep-alive --connections 8"
    stop_pid "$server_pid"; server_pid=
    rm -rf "$work/out"
    local title="crawl over $rtt ms RTT, $pages pages + $pictures pictures"
    report "$title, --keep-alive --connections 4" four_t wget2_four_t "wget2 --max-threads=4" 4 4
    report "$title, --keep-alive --connections 8" eight_t wget2_four_t "wget2 --max-threads=4" 8 4
    report "$title, --keep-alive" one_t wget2_one_t "wget2 --max-threads=1" 1 1
  done
}

on_loopback() {
  (( ${#scales[@]} )) || return 0  # SCALES=" " leaves the loopback rows out
  local largest=${scales[-1]} size
  proxy=127.0.0.1:$nginx_port site=127.0.0.1:$nginx_port rtt=0
  for size in "${scales[@]}"; do
    generate "$size"
    one_t=() four_t=() wget2_one_t=() wget2_four_t=()
    memory_t=() memory_m=() wget2_memory_t=() wget2_memory_m=()
    local -a steps=("crawl_ours one_t --keep-alive" "crawl_wget2 wget2_one_t 1"
                    "crawl_ours four_t --keep-alive --connections 4" "crawl_wget2 wget2_four_t 4")
    (( size != largest )) || steps+=(memory_ours memory_wget2)
    take_turns "$runs" "${steps[@]}"
    rm -rf "$work/out"
    report "crawl on loopback, $pages pages + $pictures pictures, --keep-alive" \
      one_t wget2_one_t "wget2 --max-threads=1" 1 1
    report "crawl on loopback, $pages pages + $pictures pictures, --keep-alive --connections 4" \
      four_t wget2_four_t "wget2 --max-threads=4" 4 4
    (( size == largest )) || continue
    report "crawl on loopback, $pages pages + $pictures pictures, --keep-alive --connections 8" \
      memory_t wget2_memory_t "wget2 --max-threads=8" 8 8
    local ours theirs
    ours=$(median "${memory_m[@]}") theirs=$(median "${wget2_memory_m[@]}")
    row "peak memory, crawl of $pictures, --keep-alive --connections 8" "$(calc "$ours / 1024") MiB" \
      "wget2 --max-threads=8 $(calc "$theirs / 1024") MiB" "$(calc "$theirs / $ours")" "ratio: peer / ours"
  done
}

through_squid() {
  generate "$scale"
  start_server write_squid_conf launch_squid "$work/squid/cache.log"
  squid_pid=$server_pid server_pid=
  echo "squid on 127.0.0.1:$port (pid $squid_pid)" >&2
  proxy=127.0.0.1:$port site=127.0.0.1:$nginx_port rtt=0
  closing_t=() kept_t=() wget2_closing_t=() wget2_kept_t=()
  take_turns "$runs" "crawl_ours closing_t" \
    "crawl_wget2 wget2_closing_t 1 --http-proxy=http://$proxy/ --no-http-keep-alive" \
    "crawl_ours kept_t --keep-alive" "crawl_wget2 wget2_kept_t 1 --http-proxy=http://$proxy/"
  stop_pid "$squid_pid"; squid_pid=
  rm -rf "$work/out"
  report "crawl through squid, $pages pages + $pictures pictures, HTTP/1.0 (default)" \
    closing_t wget2_closing_t "wget2 --max-threads=1 --no-http-keep-alive" 1 1
  report "crawl through squid, $pages pages + $pictures pictures, --keep-alive" \
    kept_t wget2_kept_t "wget2 --max-threads=1" 1 1
}

start_server write_nginx_conf launch_nginx "$work/error.log"
nginx_port=$port nginx_pid=$server_pid server_pid=
relay_to=$nginx_port
echo "nginx on 127.0.0.1:$nginx_port (pid $nginx_pid); files in $work; median of $runs runs" \
  "($slow_runs where round trips alone take a minute)" >&2
over_relay
on_loopback
through_squid

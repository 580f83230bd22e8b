#!/usr/bin/env bash
# The offline album of a mirror, against the crawl that made it: the gallery of crawl_bench.sh,
# set up the same way but with real JPEG pictures of 640 x 480, is mirrored by the folder-ID job
# with --keep-alive --connections 4 on loopback; then --album-only writes the pages and
# thumbnails of the whole mirror (every thumbnail made), and once more (every thumbnail up to
# date: the pages only). The thumbnails are made on every core; the note gives them per core.
# Medians of RUNS runs; everything on memory-backed storage.
# Usage: bench/album_bench.sh [quick]   (BUILD=dir, RUNS=n, SCALE=n in steps of 55 pictures)
# Prints ROW lines for run_all.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
source "$here/../tools/install-missing.sh"
build=${BUILD:-$(dirname "$here")/build}
if [[ ${1:-} == quick ]]; then default_scale=36 default_runs=1; else default_scale=364 default_runs=3; fi
scale=${SCALE:-$default_scale}
runs=${RUNS:-$default_runs}
per_page=20
picture_size=1

install_missing libjpeg-turbo-progs
crawl_setup album
# A picture as a camera or a scanner leaves it: smooth colours, baseline JPEG.
LC_ALL=C awk 'BEGIN { printf "P6\n640 480\n255\n";
  for (y = 0; y < 480; y++) for (x = 0; x < 640; x++)
    printf "%c%c%c", (x * 255 / 639), (y * 255 / 479), ((x + y) % 256) }' >"$work/picture.ppm"
cjpeg -quality 85 "$work/picture.ppm" >"$work/picture.jpg"

start_server write_nginx_conf launch_nginx "$work/error.log"
nginx_pid=$server_pid server_pid=
read -r pictures _ pages _ < <("$generator" --scale "$scale" --per-page "$per_page" \
  --picture "$work/picture.jpg" --out "$work/site")
chmod -R a+rX "$work/site"
echo "nginx on 127.0.0.1:$port (pid $nginx_pid); $pictures pictures of $(stat -c %s "$work/picture.jpg") bytes" \
  "in $work; median of $runs runs" >&2
proxy=127.0.0.1:$port
crawl_t=() album_t=() again_t=()
for run in $(seq "$runs"); do
  crawl_ours crawl_t --keep-alive --connections 4
  timed "$program" --album-only "$work/out/ours" --settings "$work/none.ini"
  album_t+=("$elapsed")
  thumbnails=$(find "$work/out/ours" -path '*/.album/thumbs/*.jpg' | wc -l)
  (( thumbnails == pictures )) || { echo "$thumbnails thumbnails of $pictures pictures" >&2; exit 1; }
  album_pages=$(find "$work/out/ours" -name index.html | wc -l)
  timed "$program" --album-only "$work/out/ours" --settings "$work/none.ini"
  again_t+=("$elapsed")
done
rm -rf "$work/out"

crawl=$(median "${crawl_t[@]}") album=$(median "${album_t[@]}") again=$(median "${again_t[@]}")
cores=$(nproc)
row "album of a mirror of $pictures pictures (640 x 480) in $album_pages folders, $cores cores" \
  "$(calc "$pictures / $album") thumbnails/s" "crawl --keep-alive --connections 4: $(calc "$pictures / $crawl") pictures/s" \
  "$(calc "$crawl / $album")" "$(calc "$pictures / $album / $cores") thumbnails/s per core; median s: album $album vs crawl $crawl"
row "album rebuilt, every thumbnail up to date" "$(calc "$album_pages / $again") pages/s" \
  "crawl --keep-alive --connections 4: $(calc "$pictures / $crawl") pictures/s" "$(calc "$crawl / $again")" \
  "median s: album $again vs crawl $crawl"

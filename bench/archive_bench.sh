#!/usr/bin/env bash
# The download archive at growing sizes: one archive on memory-backed storage is filled record by
# record (a transaction each, as a run records its files) up to each size in turn, and at each
# size looked up LOOKUPS times in random order, hits and misses apart. The lookups should stay
# about as fast at the largest size as at the smallest.
# Usage: bench/archive_bench.sh [quick]   (BUILD=dir, SIZES="1000 10000", LOOKUPS=n override)
# Prints ROW lines for run_all.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=${BUILD:-$(dirname "$here")/build}
if [[ ${1:-} == quick ]]; then
  default_sizes="1000 10000 100000" default_lookups=50000
else
  default_sizes="1000 10000 100000 1000000" default_lookups=200000
fi
read -r -a sizes <<<"${SIZES:-$default_sizes}"
lookups=${LOOKUPS:-$default_lookups}

program=$(find_built bench_archive)
work=$(memory_dir archive)
trap 'rm -rf "$work"' EXIT INT TERM
echo "archive in $work; $lookups lookups of each kind per size" >&2

# Lines: records, records/s while filling up to them, hits/s, misses/s.
"$program" "$work/archive.db" "$lookups" "${sizes[@]}" >"$work/rates.txt"
read -r first first_records first_hits first_misses <"$work/rates.txt"
while read -r size _ hits misses; do
  row "archive lookups, $size records" "$hits hits/s, $misses misses/s" \
    "at $first records: $first_hits, $first_misses" "$(calc "$hits / $first_hits")" \
    "random order; ratio: hits/s here / at $first records"
done <"$work/rates.txt"
read -r last last_records _ < <(tail -n 1 "$work/rates.txt")
row "archive records, one transaction each" "$last_records records/s" "at $first records: $first_records" \
  "$(calc "$last_records / $first_records")" "filling up to $last records; WAL, synchronous=NORMAL"

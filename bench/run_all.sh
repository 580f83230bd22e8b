#!/usr/bin/env bash
# The whole benchmark in one run: gallery crawls against wget, on loopback, through a relay
# that adds a round-trip delay and through squid in both HTTP modes, the same crawls against
# wget2 with one, four and eight connections, one big file over HTTP and FTP against curl and
# lftp, the resume of a big file cut at half against curl, the idle wait against curl, the
# download archive's lookups from 1,000 to 1,000,000 records, and the refresh of a complete
# mirror with and without the archive against wget -nc; then one table of figures and ratios.
# Usage: bash bench/run_all.sh [quick]   (quick: smaller sizes, fewer runs; BUILD=dir)
# Every server is started and stopped by its pid and binds 127.0.0.1 only; each script removes
# its files.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
mode=${1:-}
results=$(mktemp "${TMPDIR:-/tmp}/tessary-bench-results.XXXXXX")
trap 'rm -f "$results"' EXIT

for part in crawl latency squid wget2 transfer resume idle archive refresh album; do
  echo "== $part" >&2
  bash "$here/${part}_bench.sh" $mode | tee -a "$results" >&2
done

echo
printf '| %s | %s | %s | %s | %s |\n' work Tessary peer "ratio (above 1: Tessary ahead)" note
printf '|---|---|---|---|---|\n'
grep '^ROW|' "$results" | cut -d'|' -f2- | sed 's/|/ | /g; s/^/| /; s/$/ |/'

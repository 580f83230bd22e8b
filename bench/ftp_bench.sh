#!/usr/bin/env bash
# FTP set download benchmark on loopback, one vsftpd for all runs: the set job of the headless
# program (tessary --set) versus lftp mirror of the same folder, both in active mode.
# Usage: bench/ftp_bench.sh [BUILD_DIR]   (default: build; builds target tessary there)
#        TESSARY=/path/to/tessary bench/ftp_bench.sh   (use that program as it is)
#        FILES=N SIZE=BYTES RUNS=N   (default 300 files of 32 KiB, best of 3 runs)
# Needs root: vsftpd shows the anonymous root at "/" (where the set job looks for
# "/pub/brick/") only when it can chroot into it.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
repo=$(dirname "$here")
build=${1:-$repo/build}
vsftpd_bin=${VSFTPD:-/usr/sbin/vsftpd}
files=${FILES:-300}
size=${SIZE:-32768}
runs=${RUNS:-3}
set_number=8436
folder=pub/brick/scans/08000/$set_number

for tool in "$vsftpd_bin" lftp; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install vsftpd lftp)" >&2; exit 2; }
done
(( $(id -u) == 0 )) || { echo "run as root: vsftpd chroots the anonymous root only then" >&2; exit 2; }

program=${TESSARY:-}
if [[ -z $program ]]; then
  cmake --build "$build" --target tessary >/dev/null
  program=$(find "$build" -name tessary -type f -perm -u+x | head -n 1)
fi
[[ -x $program ]] || { echo "tessary not found (build the app target first)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tessary-ftp-bench.XXXXXX")
server_pid=
cleanup() {
  if [[ -n $server_pid ]]; then
    kill -TERM -- "-$server_pid" 2>/dev/null || true  # its own process group: listener and sessions
    for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.05; done
    kill -KILL -- "-$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
chmod 755 "$work"
mkdir -p "$work/site/$folder" "$work/empty" "$work/out"
chmod -R 755 "$work/site"

ftp_root=$work/site

echo "preparing $files files of $size bytes in $work ..."
head -c "$size" /dev/urandom >"$work/sample.bin"
for i in $(seq -w 1 "$files"); do
  cp "$work/sample.bin" "$work/site/$folder/$set_number-$i.gif"
done
chmod 644 "$work/site/$folder"/*
sample_sum=$(cksum <"$work/sample.bin")
: >"$work/none.ini"  # no stored entries: the command line says everything
start_server write_vsftpd_conf launch_vsftpd "$work/vsftpd.out"
echo "vsftpd on 127.0.0.1:$port (pid $server_pid); best of $runs runs"

# Checks that `dir` holds every file whole; `what` names the tool.
check() {
  local dir=$1 what=$2 count
  count=$(find "$dir" -type f -name "$set_number-*.gif" | wc -l)
  (( count == files )) || { echo "$what fetched $count of $files files" >&2; exit 1; }
  [[ $(cksum <"$dir/$set_number-$(seq -w 1 "$files" | head -n 1).gif") == "$sample_sum" ]] ||
    { echo "$what's copy differs" >&2; exit 1; }
}

ours_t=() lftp_t=()
run_ours() {
  local dest=$work/out/ours start end
  rm -rf "$dest"; mkdir -p "$dest"; sync
  start=$(now)
  "$program" --set "$set_number" --dest "$dest/" --ftp-host "127.0.0.1:$port" --no-pause \
    --web-base "http://127.0.0.1:9" --settings "$work/none.ini" >"$work/ours.log" 2>"$work/ours.err" ||
    { echo "tessary failed:" >&2; cat "$work/ours.err" >&2; exit 1; }
  end=$(now)
  check "$dest/scans/08000/$set_number" "tessary"
  ours_t+=("$(calc "$end - $start")")
}
run_lftp() {
  local dest=$work/out/lftp start end
  rm -rf "$dest"; mkdir -p "$dest"; sync
  start=$(now)
  lftp -u anonymous,bench -p "$port" -e "set ftp:passive-mode off; set net:max-retries 1; \
set ftp:ssl-allow no; mirror --no-perms /$folder/ $dest/; quit" 127.0.0.1 >"$work/lftp.log" 2>&1 ||
    { echo "lftp failed:" >&2; cat "$work/lftp.log" >&2; exit 1; }
  end=$(now)
  check "$dest" "lftp"
  lftp_t+=("$(calc "$end - $start")")
}
for run in $(seq "$runs"); do
  if (( run % 2 )); then run_ours; run_lftp; else run_lftp; run_ours; fi
done

ours=$(best "${ours_t[@]}"); theirs=$(best "${lftp_t[@]}")
ratio=$(calc "$theirs / $ours")
echo
echo "$files x $size bytes: tessary ${ours}s ($(calc "$files / $ours") files/s), lftp mirror ${theirs}s ($(calc "$files / $theirs") files/s)"
echo "  files per second ratio tessary/lftp = $ratio"

#!/usr/bin/env bash
# One big file through the real program on loopback, everything on memory-backed storage:
#   HTTP: the folder-ID job on a gallery whose only picture is the big file, nginx as the proxy,
#         versus curl --http1.0 through the same proxy;
#   FTP:  the set job on a set folder holding only the big file, vsftpd in active mode, versus
#         lftp get and curl, both active too.
# The tools take turns; medians of RUNS runs; peak memory from GNU time.
# Usage: bench/transfer_bench.sh [quick]   (BUILD=dir, RUNS=n, MIB=size override; default 1024)
# Needs root: vsftpd shows the anonymous root at "/" only when it can chroot into it.
# Prints ROW lines for run_all.sh.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"
build=${BUILD:-$(dirname "$here")/build}
if [[ ${1:-} == quick ]]; then default_mib=128 default_runs=3; else default_mib=1024 default_runs=5; fi
mib=${MIB:-$default_mib}
runs=${RUNS:-$default_runs}
set_number=8436
set_folder=pub/brick/scans/08000/$set_number

for tool in /usr/sbin/nginx /usr/sbin/vsftpd curl lftp /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (bash tools/setup.sh installs it)" >&2; exit 2; }
done
(( $(id -u) == 0 )) || { echo "run as root: vsftpd chroots the anonymous root only then" >&2; exit 2; }
program=$(find_built tessary)

work=$(memory_dir transfer)
nginx_pid= vsftpd_pid= server_pid=
cleanup() { stop_pid "$nginx_pid"; stop_pid "$vsftpd_pid"; rm -rf "$work"; }
trap cleanup EXIT INT TERM
chmod 755 "$work"
mkdir -p "$work/site/pages" "$work/site/gallery/tessa" "$work/ftp/$set_folder" "$work/empty" "$work/out"
: >"$work/none.ini"
echo "writing a $mib MiB file in $work ..." >&2
head -c "$((mib * 1024 * 1024))" /dev/urandom >"$work/big.bin"
ln "$work/big.bin" "$work/site/gallery/tessa/big.jpg"
ln "$work/big.bin" "$work/ftp/$set_folder/$set_number-1.gif"
chmod -R a+rX "$work/site" "$work/ftp"

write_one_picture_gallery

ftp_root=$work/ftp
start_server write_nginx_conf launch_nginx "$work/error.log"
nginx_pid=$server_pid http_port=$port
start_server write_vsftpd_conf launch_vsftpd "$work/vsftpd.out"
vsftpd_pid=$server_pid ftp_port=$port
echo "nginx on 127.0.0.1:$http_port (pid $nginx_pid), vsftpd on 127.0.0.1:$ftp_port (pid $vsftpd_pid)" >&2

# Runs one download into $work/out, checks the copy, and files time and memory under `who`.
declare -A times peaks
fetch() {
  local who=$1 copy=$2; shift 2
  rm -rf "$work/out"; mkdir -p "$work/out"
  timed "$@"
  cmp -s "$work/out/$copy" "$work/big.bin" || { echo "$who's copy differs" >&2; exit 1; }
  times[$who]+=" $elapsed" peaks[$who]+=" $peak_kib"
}
http_ours() {
  gallery_job "127.0.0.1:$http_port" "$work/out"
  fetch http_ours gallery/tessa/big.jpg "${job[@]}"
}
http_curl() {
  fetch http_curl big.jpg curl -sS --http1.0 -x "127.0.0.1:$http_port" -o "$work/out/big.jpg" \
    http://www.fotoarchive.com/gallery/tessa/big.jpg
}
ftp_ours() {
  fetch ftp_ours "scans/08000/$set_number/$set_number-1.gif" "$program" --set "$set_number" \
    --dest "$work/out/" --ftp-host "127.0.0.1:$ftp_port" --no-pause --web-base http://127.0.0.1:9 \
    --settings "$work/none.ini"
}
ftp_lftp() {
  fetch ftp_lftp big.gif lftp -u anonymous,bench -p "$ftp_port" -e "set ftp:passive-mode off; \
set ftp:ssl-allow no; set net:max-retries 1; get /$set_folder/$set_number-1.gif -o $work/out/big.gif; quit" 127.0.0.1
}
ftp_curl() {
  fetch ftp_curl big.gif curl -sS -P 127.0.0.1 -o "$work/out/big.gif" \
    "ftp://127.0.0.1:$ftp_port/$set_folder/$set_number-1.gif"
}

for run in $(seq "$runs"); do
  if (( run % 2 )); then http_ours; http_curl; else http_curl; http_ours; fi
  case $((run % 3)) in
    1) ftp_ours; ftp_lftp; ftp_curl ;;
    2) ftp_lftp; ftp_curl; ftp_ours ;;
    0) ftp_curl; ftp_ours; ftp_lftp ;;
  esac
done
rm -rf "$work/out"

mb=$(calc "$mib * 1048576 / 1000000")
rate() { calc "$mb / $(median ${times[$1]})"; }
mem() { calc "$(median ${peaks[$1]}) / 1024"; }
best_ftp=$( (( $(awk "BEGIN { print ($(rate ftp_lftp) >= $(rate ftp_curl)) }") )) && echo ftp_lftp || echo ftp_curl)
row "one $mib MiB picture over HTTP" "$(rate http_ours) MB/s" "curl --http1.0 $(rate http_curl)" \
  "$(calc "$(rate http_ours) / $(rate http_curl)")" "peak MiB: ours $(mem http_ours), curl $(mem http_curl)"
row "one $mib MiB file over active FTP" "$(rate ftp_ours) MB/s" "lftp $(rate ftp_lftp), curl $(rate ftp_curl)" \
  "$(calc "$(rate ftp_ours) / $(rate "$best_ftp")")" \
  "vs the better; peak MiB: ours $(mem ftp_ours), lftp $(mem ftp_lftp), curl $(mem ftp_curl)"

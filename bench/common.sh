# Helpers shared by the benchmark scripts (sourced, not run).

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.3f\", $1 }"; }
best() { printf '%s\n' "$@" | sort -g | head -n 1; }

# Picks a free loopback port into `port`, runs `configure` to write the server's configuration
# and `launch` to start it in the background (leaving its pid in `server_pid`), and returns once
# the port answers. After five failed tries it shows `log` and exits.
start_server() {
  local configure=$1 launch=$2 log=$3 attempt
  for attempt in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 40000))
    port_free "$port" || continue
    "$configure"
    "$launch"
    for _ in $(seq 200); do
      if ! port_free "$port"; then return 0; fi
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.05
    done
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  done
  echo "the server did not start:" >&2
  cat "$log" >&2 || true
  exit 1
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Stops a server started by this script: its process group when it leads one, else itself.
stop_pid() {
  local pid=$1 target=$1
  [[ -n $pid ]] || return 0
  [[ $(ps -o pgid= -p "$pid" 2>/dev/null | tr -d ' ') == "$pid" ]] && target=-$pid
  kill -TERM -- "$target" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -KILL -- "$target" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Runs a command under GNU time; sets `elapsed` (s) and `peak_kib`. Output goes to $work/cmd.*.
timed() {
  local start end
  start=$(now)
  /usr/bin/time -f %M -o "$work/peak.txt" "$@" >"$work/cmd.out" 2>"$work/cmd.err" || {
    echo "failed: $*" >&2; tail -n 20 "$work/cmd.err" >&2; exit 1; }
  end=$(now)
  elapsed=$(calc "$end - $start")
  peak_kib=$(tail -n 1 "$work/peak.txt")
}

# Memory-backed storage for the served files and the downloads, so that the disk decides nothing.
memory_dir() {
  local base=/dev/shm
  [[ -d $base && -w $base ]] || base=${TMPDIR:-/tmp}
  mktemp -d "$base/tessary-$1.XXXXXX"
}

# Finds (building when needed) a program of the build tree: find_built TARGET.
find_built() {
  cmake --build "$build" --target "$1" >/dev/null
  find "$build" -name "$1" -type f -perm -u+x | head -n 1
}

# The folder-ID job of the command-line program through the HTTP proxy PROXY (HOST:PORT) into
# DEST, with no stored entries, into the array `job`: gallery_job PROXY DEST [OPTION...].
gallery_job() {
  local proxy=$1 dest=$2
  shift 2
  job=("$program" --folder 77154 --host-a --dest "$dest/" --proxy "$proxy" --no-pause --settings "$work/none.ini" "$@")
}

# bench_latency_relay (in `relay`) on $port in front of the server on $relay_to, adding $rtt ms
# to every round trip. For start_server.
launch_relay() {
  "$relay" --listen "$port" --to "$relay_to" --rtt-ms "$rtt" 2>"$work/relay.log" &
  server_pid=$!
}

# One crawl of the folder-ID job through the HTTP proxy $proxy (HOST:PORT), its pictures checked
# and its time added to the array TIMES: crawl_ours TIMES [OPTION...].
crawl_ours() {
  local -n times=$1
  local dest=$work/out/ours
  shift
  rm -rf "$dest"; mkdir -p "$dest"
  gallery_job "$proxy" "$dest" "$@"
  timed "${job[@]}"
  check_pictures "$dest" tessary
  times+=("$elapsed")
}

# wget -r on the static gallery that nginx serves on $port, into DEST, into the array `job`:
# wget_job DEST [OPTION...].
wget_job() {
  local dest=$1
  shift
  job=(wget -q -r -l inf -nH -e robots=off "$@" -P "$dest" "http://127.0.0.1:$port/index.html")
}

# The sample gallery's pages for a root folder that shows one picture, the file
# $work/site/gallery/tessa/big.jpg: the folder page and its listing.
write_one_picture_gallery() {
  mkdir -p "$work/site/pages" "$work/site/gallery/tessa"
  cat >"$work/site/pages/f77154_n.html" <<'EOF'
<HTML>
<HEAD>
<TITLE>Gallery - tessa - tessa (page 1 of 1)</TITLE>
</HEAD>
<BODY BGCOLOR="#FFFFFF">
<H2>tessa</H2>
<P><IMG SRC=/members/tessa_thumb.jpg WIDTH=48 HEIGHT=48 ALT="tessa"> tessa</P>
<P>0 folders, 1 pictures</P>
<TABLE BORDER=0 CELLPADDING=4>
<TR><TD><CODE><A HREF="/cgi-bin/gallery.cgi?a=members">Up</A></CODE></TD></TD></TR>
<TR><TD><A HREF="/cgi-bin/gallery.cgi?i=500001"><IMG SRC=/gallery/tessa/thumb/big_thumb.jpg WIDTH=96 HEIGHT=72 BORDER=0 ALT="big.jpg"></A></TD><TD>big.jpg</TD></TR>
</TABLE>
</BODY>
</HTML>
EOF
  cp "$work/site/pages/f77154_n.html" "$work/site/gallery/tessa/index.html"
}

# Every picture of a crawl arrived, and whole: check_pictures DEST WHO, against the $pictures
# copies of $work/picture.jpg in the gallery that bench_gallery_pages wrote.
check_pictures() {
  local dest=$1 who=$2 count first
  count=$(find "$dest" -name '*.jpg' -type f | wc -l)
  (( count == pictures )) || { echo "$who fetched $count of $pictures pictures" >&2; exit 1; }
  first=$(find "$dest" -name '*.jpg' -type f -print -quit)
  cmp -s "$first" "$work/picture.jpg" || { echo "$who's copy of $first differs" >&2; exit 1; }
}

# What the gallery crawls need: nginx, wget and GNU time installed, the program and the page
# generator built (into `program` and `generator`), and memory-backed files in `work` (named
# after NAME) with a picture of `picture_size` bytes and an empty settings file, removed on exit
# together with the servers in `server_pid` and `nginx_pid`. Usage: crawl_setup NAME
crawl_setup() {
  local tool
  for tool in /usr/sbin/nginx wget /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing: $tool (bash tools/setup.sh installs it)" >&2; exit 2; }
  done
  program=$(find_built tessary)
  generator=$(find_built bench_gallery_pages)
  work=$(memory_dir "$1")
  server_pid= nginx_pid=
  trap 'stop_pid "$server_pid"; stop_pid "$nginx_pid"; rm -rf "$work"' EXIT INT TERM
  chmod 755 "$work"  # nginx's workers may run as another user
  head -c "$picture_size" /dev/urandom >"$work/picture.jpg"
  : >"$work/none.ini"  # no stored entries: the command line says everything
}

# crawl_setup for a crawl that also goes through squid and the relay (in `relay`): squid's
# program in `squid`, its server in `squid_pid`, stopped on exit with the others, and no proxy
# but the one each client is given. Usage: squid_crawl_setup NAME
squid_crawl_setup() {
  squid=/usr/sbin/squid
  command -v "$squid" >/dev/null || { echo "missing: $squid (bash tools/setup.sh installs it)" >&2; exit 2; }
  crawl_setup "$1"
  relay=$(find_built bench_latency_relay)
  squid_pid=
  trap 'stop_pid "$server_pid"; stop_pid "$squid_pid"; stop_pid "$nginx_pid"; rm -rf "$work"' EXIT INT TERM
  unset http_proxy https_proxy no_proxy NO_PROXY
}

# One result row for run_all.sh's table: work | ours | peer | ratio (above 1: ours is better) | note.
row() { printf 'ROW|%s|%s|%s|%s|%s\n' "$@"; }

# nginx serving $work/site, also as the gallery host and its HTTP proxy: the CGI's answers are
# the static files the page generator wrote. With `nginx_access_log` set, each request's path,
# status and bytes sent (headers too) are logged to that file, one line each. For start_server.
write_nginx_conf() {
  local access_log=off
  [[ -z ${nginx_access_log:-} ]] || access_log="$nginx_access_log sent"
  mkdir -p "$work/temp"
  cat >"$work/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
log_format sent '\$uri \$status \$bytes_sent';
access_log $access_log;
sendfile on;
client_body_temp_path $work/temp/body;
proxy_temp_path $work/temp/proxy;
fastcgi_temp_path $work/temp/fastcgi;
uwsgi_temp_path $work/temp/uwsgi;
scgi_temp_path $work/temp/scgi;
types { text/html html; image/jpeg jpg; application/octet-stream bin; }
server {
    listen 127.0.0.1:$port;
    root $work/site;
    index index.html;
    location = /cgi-bin/gallery.cgi { try_files /pages/f\${arg_f}_n\${arg_n}.html =404; }
}
}
EOF
}
launch_nginx() {
  "${nginx_bin:-/usr/sbin/nginx}" -p "$work/" -c "$work/nginx.conf" -e "$work/error.log" &
  server_pid=$!
}

# vsftpd in active mode, anonymous and read-only, serving $ftp_root. For start_server.
write_vsftpd_conf() {
  cat >"$work/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
anon_root=$ftp_root
local_enable=NO
write_enable=NO
port_enable=YES
connect_from_port_20=NO
pasv_enable=NO
secure_chroot_dir=$work/empty
seccomp_sandbox=NO
syslog_enable=NO
xferlog_enable=NO
EOF
}
launch_vsftpd() {
  setsid "${vsftpd_bin:-/usr/sbin/vsftpd}" "$work/vsftpd.conf" >"$work/vsftpd.out" 2>&1 &
  server_pid=$!
}

# squid ($squid) on $port before nginx on $nginx_port, caching nothing and answering loopback
# clients only. Started by root it runs as the user proxy, which must write its logs. For
# start_server.
write_squid_conf() {
  local user=
  mkdir -p "$work/squid"
  if (( EUID == 0 )); then
    chown proxy: "$work/squid"
    user="cache_effective_user proxy"
  fi
  cat >"$work/squid/squid.conf" <<EOF
http_port 127.0.0.1:$port
http_access allow localhost
http_access deny all
cache deny all
cache_peer 127.0.0.1 parent $nginx_port 0 no-query no-digest originserver default
never_direct allow all
dns_nameservers 127.0.0.1
icp_port 0
htcp_port 0
pinger_enable off
visible_hostname tessary-bench
pid_filename $work/squid/squid.pid
access_log none
cache_log $work/squid/cache.log
cache_store_log none
coredump_dir $work/squid
shutdown_lifetime 0 seconds
$user
EOF
}
# Its shared memory segments are named after the service: one of its own.
launch_squid() {
  "$squid" -N -n "tessarybench$port" -f "$work/squid/squid.conf" >"$work/squid/squid.out" 2>&1 &
  server_pid=$!
}

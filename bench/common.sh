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

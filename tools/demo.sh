#!/usr/bin/env bash
# Runs the program. With a display it opens the window. Without one it starts the sample
# gallery on loopback, mirrors it with the headless folder job into demo/, prints the log and
# the resulting tree, and stops the server.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
tessary="$build/app/tessary"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec "$tessary"
fi

"$tessary" --version
work="$(mktemp -d)"
"$build/tools/gallery/sample-gallery" --port 0 >"$work/server.out" &
server=$!
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 100); do
    grep -q "listening on" "$work/server.out" 2>/dev/null && break
    sleep 0.05
done
address="$(sed -n 's/^listening on //p' "$work/server.out")"
[ -n "$address" ] || { echo "the sample gallery did not start" >&2; exit 1; }

rm -rf demo
mkdir -p demo
echo "== mirroring folder 77154 of the sample gallery (served on $address) into demo/"
set +e
"$tessary" --folder 77154 --host-a --dest "$PWD/demo/" --no-pause --proxy "$address"
status=$?
set -e
echo "== exit status $status; the mirrored tree:"
(cd demo && find . -mindepth 1 | sort)
echo "== $(find demo -type f | wc -l) files"
exit "$status"

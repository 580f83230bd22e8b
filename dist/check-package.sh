#!/usr/bin/env bash
# Builds the Debian package from a built tree, checks that its changelog names its version
# and that lintian reports no error and no warning in it, installs it, and runs the installed
# program as an unprivileged user whose home holds no settings: its version, where it would
# read its settings, a job against the sample gallery into the default destination, and the
# window program that a bare `tessary` turns into. Checks that nothing was written into the
# installed folders, then removes the package.
# Usage: dist/check-package.sh [BUILD_DIR]   (as root; default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
user=tessary-check
work="$(mktemp -d)"
home="$work/home"
server=""
window=""
created_user=""

cleanup() {
    [ -z "$window" ] || kill "$window" 2>/dev/null || true
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    if dpkg-query -W -f='${Status}' tessary 2>/dev/null | grep -q "ok installed"; then
        DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq tessary >/dev/null
    fi
    [ -z "$created_user" ] || userdel "$user"
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "package check: $*" >&2
    exit 1
}

# The user, with a fresh home of its own; `env -i` leaves none of root's variables behind.
# setpriv and env replace themselves, so a program started this way keeps the process id.
as_user=(setpriv --reuid="$user" --regid="$user" --init-groups
         env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8)

echo "== package"
desktop-file-validate dist/tessary.desktop
rm -f "$build"/tessary_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(realpath "$build"/tessary_*.deb)"
dpkg-deb --field "$deb" Package Version Depends Recommends
dpkg-deb --contents "$deb" | awk '{print $6}'
[ "$(dpkg-parsechangelog -l dist/changelog -S Version)" = "$(dpkg-deb --field "$deb" Version)" ] ||
    fail "dist/changelog does not start with the package's version"

echo "== lintian"
if ! command -v lintian >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends lintian >/dev/null
fi
lintian --fail-on error,warning "$deb"

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
touch "$work/installed"

if ! id "$user" >/dev/null 2>&1; then
    useradd --no-create-home --shell /usr/sbin/nologin "$user"
    created_user=1
fi
chmod 755 "$work"
mkdir "$home"
chown "$user:" "$home"

echo "== installed tessary as $user"
"${as_user[@]}" tessary --version
settings="$("${as_user[@]}" tessary --help | sed -n 's/^Settings file: //p')"
echo "settings file: $settings"
[ "$settings" = "$home/.config/tessary/Tessary.ini" ] || fail "settings expected in $home/.config/tessary/"

"$build/tools/gallery/sample-gallery" --port 0 >"$work/server.out" &
server=$!
for _ in $(seq 100); do
    grep -q "listening on" "$work/server.out" && break
    sleep 0.05
done
address="$(sed -n 's/^listening on //p' "$work/server.out")"
[ -n "$address" ] || fail "the sample gallery did not start"

echo "== folder 77154 into the default destination"
status=0
"${as_user[@]}" http_proxy="http://$address/" tessary --folder 77154 --no-pause >"$work/log" 2>"$work/status" || status=$?
tail -n 3 "$work/log" "$work/status"
[ "$status" -eq 0 ] || fail "the job ended with status $status"
"$build/tools/gallery/sample-gallery" --print-tree >"$work/expected"
(cd "$home/Pictures/Tessary" && find . -mindepth 1 \( -type d -printf '%P/\n' \) -o -printf '%P %s\n' | sort) >"$work/mirrored"
echo "$(grep -vc '/$' "$work/mirrored") files in $home/Pictures/Tessary/"
diff <(sort "$work/expected") "$work/mirrored" || fail "the mirror differs from the gallery"
[ ! -e "$settings" ] || fail "a job wrote the settings file"

echo "== tessary without a job becomes the window"
"${as_user[@]}" QT_QPA_PLATFORM=offscreen tessary >"$work/window.out" 2>&1 &
window=$!
for _ in $(seq 200); do
    [ "$(readlink "/proc/$window/exe" 2>/dev/null)" = /usr/bin/tessary-window ] && [ -d "${settings%/*}" ] && break
    sleep 0.05
done
readlink "/proc/$window/exe" || fail "the window program did not start: $(cat "$work/window.out")"
[ "$(readlink "/proc/$window/exe")" = /usr/bin/tessary-window ] || fail "tessary did not start tessary-window"
[ -d "${settings%/*}" ] || fail "the window made no folder for its settings"
kill "$window"
wait "$window" 2>/dev/null || true
window=""

echo "== nothing written into the installed folders"
folders="$(dpkg -L tessary | while read -r path; do
    if [ -f "$path" ]; then dirname "$path"; fi
done | sort -u)"
echo "$folders"
written="$(echo "$folders" | while read -r folder; do find "$folder" -newer "$work/installed"; done)"
[ -z "$written" ] || fail "written after the install: $written"

DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq tessary >/dev/null
[ ! -e /usr/bin/tessary ] || fail "the package left /usr/bin/tessary behind"
echo "== package check passed"

#!/usr/bin/env bash
# Installs what is missing, builds, and then runs the program (run) or the test suite (test).
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${1:-run}"
packages=(build-essential cmake ninja-build pkg-config
          qt6-base-dev qt6-base-dev-tools libqt6test6 qt6-qpa-plugins libgl-dev
          libjpeg62-turbo-dev libsqlite3-dev fonts-ipafont-gothic libgtest-dev libgmock-dev
          nginx vsftpd squid curl wget lftp xvfb xauth openbox time strace
          dpkg-dev file desktop-file-utils gettext)
source tools/install-missing.sh
install_missing "${packages[@]}"

build="${BUILD_DIR:-build}"
# The Debian package is made from this tree, so it is built with all of Debian's hardening flags
# (the defaults leave out bind-now). CMake reads CXXFLAGS and LDFLAGS when it first configures a
# tree, but not CPPFLAGS, which holds the fortify level.
if command -v dpkg-buildflags >/dev/null; then
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) ${CXXFLAGS:-}"
    LDFLAGS="$(dpkg-buildflags --get LDFLAGS) ${LDFLAGS:-}"
    export CXXFLAGS LDFLAGS
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARY_WERROR=ON ${CMAKE_EXTRA:-}
cmake --build "$build"

case "$mode" in
run)
    exec tools/demo.sh "$build"
    ;;
test)
    cd "$build"
    exec ctest --output-on-failure -j2 --timeout 300
    ;;
*)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac

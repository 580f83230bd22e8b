#!/usr/bin/env bash
# Installs what is missing, builds, and then runs the program (run) or the test suite (test).
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${1:-run}"
packages=(build-essential cmake ninja-build pkg-config
          qt6-base-dev qt6-base-dev-tools libqt6test6 qt6-qpa-plugins libgl-dev
          libjpeg62-turbo-dev libsqlite3-dev fonts-ipafont-gothic libgtest-dev libgmock-dev
          nginx vsftpd squid curl wget lftp xvfb xauth openbox time strace
          dpkg-dev file desktop-file-utils gettext locales)
# The album's browser test drives Debian's Chromium from node. A node from elsewhere that brings
# its own npm is kept: Debian's npm conflicts with it.
if [ "$mode" = test ]; then
    packages+=(chromium)
    command -v node >/dev/null || packages+=(nodejs)
    command -v npm >/dev/null || packages+=(npm)
fi
source tools/install-missing.sh
install_missing "${packages[@]}"

build="${BUILD_DIR:-build}"
# ProFTPD and vsftpd both provide ftp-server, so their packages conflict: the interop tests run
# ProFTPD's program from its package unpacked into the build tree, beside the libraries it links.
unpack_proftpd() {
    local into="$build/proftpd" package sudo=""
    [ -x "$into/usr/sbin/proftpd" ] && return 0
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    apt-cache show proftpd-core >/dev/null 2>&1 || $sudo apt-get update -qq
    install_missing $(apt-cache depends proftpd-core | awk '$1 == "Depends:" && $2 ~ /^lib/ { print $2 }')
    package=$(mktemp -d)
    (cd "$package" && apt-get download -qq -o APT::Sandbox::User=root proftpd-core)
    mkdir -p "$into"
    dpkg-deb -x "$package"/proftpd-core_*.deb "$into"
    rm -rf "$package"
}
# The browser test's node module lives in the build tree, not in the sources; it uses the
# Chromium installed above and never downloads a browser of its own.
install_puppeteer() {
    [ -d "$build/browser/node_modules/puppeteer-core" ] && return 0
    mkdir -p "$build/browser"
    PUPPETEER_SKIP_DOWNLOAD=1 npm install --no-audit --no-fund --prefix "$build/browser" puppeteer-core@22
}
if [ "$mode" = test ]; then unpack_proftpd; install_puppeteer; fi
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

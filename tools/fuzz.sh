#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang in a build folder of their own and runs each one
# for a while, one after the other, from its seed inputs; a crash, a broken rule or a hang fails.
# Usage: tools/fuzz.sh [SECONDS]   (each target's run; default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
packages=(clang libclang-rt-14-dev llvm)
source tools/install-missing.sh
install_missing "${packages[@]}"

build="${FUZZ_BUILD_DIR:-build-fuzz}"
CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSARY_FUZZ=ON -DTESSARY_TESTS=OFF -DTESSARY_WERROR=ON
nice cmake --build "$build" --target fuzz

# What the runs find goes to a scratch corpus, so the seeds in the source tree stay as they are;
# a failing input is kept in the build folder. The targets write a file for every input: in
# memory that costs no disk flush.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
for source in fuzz/*.cpp; do
    name="$(basename "$source" .cpp)"
    artifacts="$build/fuzz/artifacts/$name"
    mkdir -p "$work/$name" "$artifacts"
    echo "== fuzz_$name, $seconds s"
    if ! nice "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -print_final_stats=1 -artifact_prefix="$artifacts/" "$work/$name" "fuzz/corpus/$name" \
            >"$work/$name.log" 2>&1; then
        tail -n 80 "$work/$name.log"
        echo "fuzz_$name failed; the input is in $artifacts" >&2
        exit 1
    fi
    grep -E '^(Done|stat::)' "$work/$name.log"
done

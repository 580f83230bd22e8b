#!/usr/bin/env bash
# Runs the program: the window when a display is there, otherwise the version line.
set -euo pipefail
build="${1:-build}"
exec "$build/app/tessary" --version

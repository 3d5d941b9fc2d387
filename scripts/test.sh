#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/build.sh"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure

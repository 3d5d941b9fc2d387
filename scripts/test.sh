#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite, then loads faceprobe-batch's
# tables with pandas.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/build.sh"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure
"$here/scripts/test-tables.sh"

#!/usr/bin/env bash
# Sets up a fresh machine and builds the three commands and the tests:
# installs the Debian packages, configures and builds with CMake (Release by
# default), fetches the test photos into the build tree, and draws the
# manual's picture into build/doc.
# Usage: build.sh [extra cmake arguments]; BUILD_DIR (default: build) picks
# the build folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$build" -DFACEPROBE_FRONT_ENDS=ON "$@"
cmake --build "$build" -j "$(nproc)"
"$here/scripts/fetch-test-photos.sh" "$build/photos" >/dev/null
# The manual's picture, drawn by the build as users get it: a sanitized
# build would fail it on reports from the uninstrumented libraries.
if ! grep -qE '^FACEPROBE_(TSAN|SANITIZE):BOOL=ON' "$build/CMakeCache.txt"; then
  "$here/scripts/make-pose-picture.sh" "$build"
fi

#!/usr/bin/env bash
# Sets up a fresh machine and builds faceprobe: installs the Debian packages,
# configures and builds with CMake (Release by default), and fetches the test
# photos into the build tree.
# Usage: build.sh [extra cmake arguments]; BUILD_DIR (default: build) picks
# the build folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$build" "$@"
cmake --build "$build" -j "$(nproc)"
"$here/scripts/fetch-test-photos.sh" "$build/photos" >/dev/null
"$here/scripts/make-pose-picture.sh" "$build"

#!/usr/bin/env bash
# Sets up, builds and runs faceprobe on a bundled test photo, from the run
# folder where the program sits beside its data files. Installs and builds
# faceprobe alone; scripts/test.sh adds the rest to the same build folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}

"$here/scripts/setup-deps.sh" demo
# A build folder set up for everything stays so.
[ -f "$build/CMakeCache.txt" ] || cmake -S "$here" -B "$build" -DFACEPROBE_FRONT_ENDS=OFF
cmake --build "$build" --target faceprobe -j "$(nproc)"
"$here/scripts/fetch-test-photos.sh" "$build/photos" grace_hopper.jpg >/dev/null

photo=$build/photos/grace_hopper.jpg
echo "\$ cd $build/run && ./faceprobe $photo"
status=0
(cd "$build/run" && ./faceprobe "$photo") || status=$?
echo
echo "exit status: $status"
echo "normalised face: ${photo%.*}_resize.jpg"
[ "$status" -eq 1 ]

#!/usr/bin/env bash
# Sets up, builds and runs faceprobe on a bundled test photo, from the run
# folder where the program sits beside its data files.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/build.sh"

photo=$build/photos/grace_hopper.jpg
echo "\$ cd $build/run && ./faceprobe $photo"
status=0
(cd "$build/run" && ./faceprobe "$photo") || status=$?
echo
echo "exit status: $status"
echo "normalised face: ${photo%.*}_resize.jpg"
[ "$status" -eq 1 ]

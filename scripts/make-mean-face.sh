#!/usr/bin/env bash
# Regenerates data/mean_face.txt, the 3D face of the named head pose, from
# the shape predictor's mean shape (Debian's libdlib-data) and CANDIDE-3's
# depths (data/candide3.txt); see model/make_mean_face.cpp.
# Usage: make-mean-face.sh [BUILD] [OUTPUT]   (BUILD default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
out=${2:-$here/data/mean_face.txt}
cmake --build "$build" --target make_mean_face >/dev/null
predictor=$(sed -n 's/^FACEPROBE_PREDICTOR_FILE:FILEPATH=//p' "$build/CMakeCache.txt")
"$build/make_mean_face" "$predictor" "$here/data/candide3.txt" "$out.tmp"
mv "$out.tmp" "$out"

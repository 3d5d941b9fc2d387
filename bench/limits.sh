#!/usr/bin/env bash
# How faceprobe's time and memory grow with the photo: one test photo rescaled
# to 1, 4, 12, 24 and 48 megapixels; then a small PNG that decodes to 400
# megapixels, and the same PNG under OPENCV_IO_MAX_IMAGE_PIXELS. Run by hand.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/build.sh" -DFACEPROBE_BENCH=ON >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run() {  # label photo [env...] -> a table row
  local label=$1 photo=$2
  shift 2
  local status=0
  (cd "$build/run" && env "$@" /usr/bin/time -f "%e %M" -o "$work/time" ./faceprobe "$photo" \
    >"$work/out" 2>/dev/null) || status=$?
  read -r wall mem < <(tail -n 1 "$work/time")
  printf "| %s | %s | %.1f | %.0f | %s |\n" "$label" "$(du -h "$photo" | cut -f1)" "$wall" \
    "$((mem / 1024))" "$status: $(head -c 40 "$work/out" | head -n 1)"
}
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo
echo "| photo | file | wall s | peak memory MB | status: output |"
echo "|---|---|---|---|---|"
for mp in 1 4 12 24 48; do
  "$build/bench/scale_photo" "$build/photos/grace_hopper.jpg" "$work/$mp.jpg" "$mp" >/dev/null
  run "$mp MP" "$work/$mp.jpg"
done
# 20000 x 20000 of one colour: a file of a few hundred kilobytes.
"$build/bench/scale_photo" --flat 20000 20000 "$work/flat400.png" >/dev/null
run "400 MP flat PNG" "$work/flat400.png"
run "400 MP, OPENCV_IO_MAX_IMAGE_PIXELS=100000000" "$work/flat400.png" \
  OPENCV_IO_MAX_IMAGE_PIXELS=100000000

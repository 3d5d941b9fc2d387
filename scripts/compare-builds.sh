#!/usr/bin/env bash
# Checks that the default build (tuned to this machine's processor) and the
# portable build print the same records and write the same normalised images
# for the test photos and scaled variants of them. Exits 1 on any difference.
# Usage: compare-builds.sh   (BUILD_DIR: the default build, default build;
# the portable build goes to BUILD_DIR-portable)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
native=${BUILD_DIR:-$here/build}
portable=$native-portable

"$here/scripts/build.sh" -DFACEPROBE_BENCH=ON >/dev/null
cmake -S "$here" -B "$portable" -DFACEPROBE_PORTABLE=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$portable" -j "$(nproc)" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/photos"
for photo in grace_hopper.jpg astronaut.png einstein.jpg; do
  cp "$native/photos/$photo" "$work/photos/"
  for mp in 0.15 1 4; do
    "$native/bench/scale_photo" "$work/photos/$photo" "$work/photos/${photo%.*}-$mp.png" "$mp" \
      >/dev/null
  done
done

differences=0
for build in native portable; do
  dir=$native
  [ "$build" = portable ] && dir=$portable
  mkdir -p "$work/$build"
  cp "$work"/photos/* "$work/$build/"
  for photo in "$work"/photos/*; do
    name=$(basename "$photo")
    status=0
    (cd "$dir/run" && ./faceprobe "$work/$build/$name" >"$work/$build/$name.out" 2>/dev/null) ||
      status=$?
    echo "$status" >>"$work/$build/$name.out"
  done
done
for file in "$work"/native/*; do
  name=$(basename "$file")
  if ! cmp -s "$file" "$work/portable/$name"; then
    echo "differs: $name"
    differences=1
  fi
done
count=$(ls "$work/photos" | wc -l)
if [ "$differences" -eq 0 ]; then
  echo "default and portable builds agree on $count photos (records, statuses, normalised images)"
fi
exit "$differences"

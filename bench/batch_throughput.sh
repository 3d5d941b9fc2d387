#!/usr/bin/env bash
# Photos per second and peak memory: faceprobe started once per photo, against
# faceprobe-batch with one worker and with one worker per core, over a
# collection of 42 photos made from the test photos (renamed copies and
# rescaled variants from 0.3 to 3 megapixels). Run by hand; prints figures.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/build.sh" -DFACEPROBE_BENCH=ON >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/photos"
for photo in grace_hopper.jpg astronaut.png einstein.jpg; do
  stem=${photo%.*}
  for copy in 1 2 3 4 5 6 7 8; do cp "$build/photos/$photo" "$work/photos/$stem-copy$copy.${photo##*.}"; done
  for mp in 0.3 0.6 1 1.5 2 3; do
    "$build/bench/scale_photo" "$build/photos/$photo" "$work/photos/$stem-$mp.png" "$mp" >/dev/null
  done
done
count=$(ls "$work/photos" | wc -l)
cores=$(nproc)

# faceprobe once per photo: wall time of the whole loop, the largest peak.
start=$(date +%s.%N)
for photo in "$work"/photos/*; do
  (cd "$build/run" && /usr/bin/time -f "%M" -a -o "$work/single.mem" ./faceprobe "$photo" \
    >/dev/null 2>&1) || true
done
single_wall=$(echo "$(date +%s.%N) $start" | awk '{print $1 - $2}')
single_mem=$(sort -n "$work/single.mem" | tail -n 1)

batch() {  # jobs -> "wall peak_kb"
  (cd "$build/run" && /usr/bin/time -f "%e %M" -o "$work/batch.time" \
    ./faceprobe-batch --jobs "$1" "$work/photos" >"$work/batch-$1.tsv" 2>/dev/null)
  cat "$work/batch.time"
}
read -r one_wall one_mem < <(batch 1)
read -r all_wall all_mem < <(batch "$cores")

echo "machine: $cores cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs);" \
  "$count photos, $(grep -c $'\tok\t' "$work/batch-1.tsv") with a face"
echo
echo "| command | wall s | photos/s | peak memory MB |"
echo "|---|---|---|---|"
awk -v n="$count" -v w="$single_wall" -v m="$single_mem" \
  'BEGIN { printf "| faceprobe, once per photo | %.1f | %.2f | %.0f (one run) |\n", w, n / w, m / 1024 }'
awk -v n="$count" -v w="$one_wall" -v m="$one_mem" \
  'BEGIN { printf "| faceprobe-batch --jobs 1 | %.1f | %.2f | %.0f |\n", w, n / w, m / 1024 }'
awk -v n="$count" -v w="$all_wall" -v m="$all_mem" -v c="$cores" \
  'BEGIN { printf "| faceprobe-batch --jobs %d | %.1f | %.2f | %.0f |\n", c, w, n / w, m / 1024 }'
echo
awk -v s="$single_wall" -v a="$all_wall" -v sm="$single_mem" -v am="$all_mem" -v c="$cores" \
  'BEGIN { printf "--jobs %d: %.1f times the photos per second of faceprobe per photo; peak memory %.2f times one faceprobe run\n", c, s / a, am / sm }'

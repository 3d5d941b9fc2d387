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
load=$(cut -d' ' -f1-3 /proc/loadavg)

# faceprobe once per photo: wall time of the whole loop, the largest peak,
# the CPU time of all runs. CPU seconds hold still when another program
# shares the cores; wall seconds do not.
start=$(date +%s.%N)
for photo in "$work"/photos/*; do
  (cd "$build/run" && /usr/bin/time -f "%M %U %S" -a -o "$work/single.time" ./faceprobe \
    "$photo" >/dev/null 2>&1) || true
done
single_wall=$(echo "$(date +%s.%N) $start" | awk '{print $1 - $2}')
single_mem=$(sort -n "$work/single.time" | tail -n 1 | cut -d' ' -f1)
single_cpu=$(awk '{cpu += $2 + $3} END {print cpu}' "$work/single.time")

batch() {  # jobs -> "wall peak_kb cpu"
  (cd "$build/run" && /usr/bin/time -f "%e %M %U %S" -o "$work/batch.time" \
    ./faceprobe-batch --jobs "$1" "$work/photos" >"$work/batch-$1.tsv" 2>/dev/null)
  awk '{print $1, $2, $3 + $4}' "$work/batch.time"
}
read -r one_wall one_mem one_cpu < <(batch 1)
read -r all_wall all_mem all_cpu < <(batch "$cores")

echo "machine: $cores cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs);" \
  "$count photos, $(grep -c $'\tok\t' "$work/batch-1.tsv") with a face"
echo
echo "load average before the runs: $load"
echo
echo "| command | wall s | photos/s | CPU s | photos per CPU s | peak memory MB |"
echo "|---|---|---|---|---|---|"
row() {  # label wall cpu peak_kb
  awk -v l="$1" -v n="$count" -v w="$2" -v c="$3" -v m="$4" \
    'BEGIN { printf "| %s | %.1f | %.2f | %.1f | %.2f | %.0f |\n", l, w, n / w, c, n / c, m / 1024 }'
}
row "faceprobe, once per photo" "$single_wall" "$single_cpu" "$single_mem"
row "faceprobe-batch --jobs 1" "$one_wall" "$one_cpu" "$one_mem"
row "faceprobe-batch --jobs $cores" "$all_wall" "$all_cpu" "$all_mem"
echo
awk -v s="$single_wall" -v a="$all_wall" -v sc="$single_cpu" -v ac="$all_cpu" \
  -v sm="$single_mem" -v am="$all_mem" -v c="$cores" \
  'BEGIN { printf "--jobs %d: %.1f times the photos per second of faceprobe per photo (%.1f times the photos per CPU second); peak memory %.2f times one faceprobe run\n", c, s / a, sc / ac, am / sm }'

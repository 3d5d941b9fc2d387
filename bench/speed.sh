#!/usr/bin/env bash
# Whole-process speed of faceprobe: this machine's build (the default) against
# the portable build, on a 0.3- and a 19-megapixel photo, and against the
# default build of an earlier commit when BASELINE names one. Runs alternate
# between the builds so that all see the same machine; each figure is the
# median of RUNS runs (default 5). Then the stage profile of both builds.
# Usage: [BASELINE=REV] bench/speed.sh   (BENCH_DIR, default build-bench,
# holds the builds)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-$here/build-bench}
runs=${RUNS:-5}

"$here/scripts/setup-deps.sh"
variants=(native portable)
for variant in native portable; do
  portable=OFF
  [ "$variant" = portable ] && portable=ON
  cmake -S "$here" -B "$work/$variant" -DFACEPROBE_PORTABLE=$portable -DFACEPROBE_BENCH=ON \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$work/$variant" -j "$(nproc)" >/dev/null
done
if [ -n "${BASELINE:-}" ]; then
  rm -rf "$work/baseline-src"
  mkdir -p "$work/baseline-src"
  git -C "$here" archive "$BASELINE" | tar -x -C "$work/baseline-src"
  cmake -S "$work/baseline-src" -B "$work/baseline" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$work/baseline" -j "$(nproc)" >/dev/null
  variants+=(baseline)
  echo "baseline: the default build of $(git -C "$here" rev-parse --short "$BASELINE")"
fi
"$here/scripts/fetch-test-photos.sh" "$work/photos" >/dev/null
"$work/native/bench/scale_photo" "$work/photos/grace_hopper.jpg" "$work/small.png" 0.3
"$work/native/bench/scale_photo" "$work/photos/grace_hopper.jpg" "$work/large.png" 19

echo
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)," \
  "$(free -g | awk '/Mem:/ {print $2}') GiB; $(date -u +%Y-%m-%d)"
times=$(mktemp)
memory=$(mktemp)
trap 'rm -f "$times" "$memory"' EXIT
# Wall and CPU time from bash's clock, to the millisecond (GNU time's are to
# the hundredth of a second, too coarse for the small photo); peak memory from
# GNU time.
TIMEFORMAT='%3R %3U %3S'
for photo in small large; do
  for ((i = 0; i < runs; i++)); do
    for variant in "${variants[@]}"; do
      clock=$( { time (cd "$work/$variant/run" &&
        /usr/bin/time -f "%M" -o "$memory" ./faceprobe "$work/$photo.png" >/dev/null 2>&1) \
        || true; } 2>&1)
      echo "$photo $variant $clock $(tail -n 1 "$memory")" >>"$times"
    done
  done
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
figure() {  # photo variant column-expression
  awk -v p="$1" -v b="$2" '$1 == p && $2 == b { print '"$3"' }' "$times" | median
}
echo
echo "| photo | build | median wall s | median CPU s | peak memory MB |"
echo "|---|---|---|---|---|"
for photo in small large; do
  for variant in "${variants[@]}"; do
    printf "| %s | %s | %.3f | %.3f | %.0f |\n" "$photo" "$variant" \
      "$(figure $photo $variant '$3')" "$(figure $photo $variant '$4 + $5')" \
      "$(figure $photo $variant '$6 / 1024')"
  done
done
echo
for photo in small large; do
  printf "%s: native / portable wall time %.3f, peak memory %.2f\n" "$photo" \
    "$(echo "$(figure $photo native '$3') $(figure $photo portable '$3')" | awk '{print $1 / $2}')" \
    "$(echo "$(figure $photo native '$6') $(figure $photo portable '$6')" | awk '{print $1 / $2}')"
  if [ -n "${BASELINE:-}" ]; then
    printf "%s: native / baseline wall time %.3f, peak memory %.2f\n" "$photo" \
      "$(echo "$(figure $photo native '$3') $(figure $photo baseline '$3')" | awk '{print $1 / $2}')" \
      "$(echo "$(figure $photo native '$6') $(figure $photo baseline '$6')" | awk '{print $1 / $2}')"
  fi
done

for variant in native portable; do
  echo
  echo "== stage profile, $variant build"
  "$work/$variant/bench/stage_profile" "$work/$variant/run" "$work/photos/grace_hopper.jpg" "$runs"
done

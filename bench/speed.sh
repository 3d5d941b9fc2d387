#!/usr/bin/env bash
# Whole-process speed of faceprobe on a 0.3- and a 19-megapixel photo: the
# default build (its x86-64-v3 copy of the stages where the processor has
# AVX2), the same build with its baseline x86-64 copy forced, and a build for
# this machine alone (-march=native); with PACKAGE=1 also the installed
# Debian package (/usr/bin/faceprobe); with BASELINE=REV also the default
# build of an earlier commit. Runs alternate between them so that all see the
# same machine; each figure is the median of RUNS runs (default 5). Then the
# stage profile of the default and the native build.
# Usage: [BASELINE=REV] [PACKAGE=1] bench/speed.sh   (BENCH_DIR, default
# build-bench, holds the builds)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-$here/build-bench}
runs=${RUNS:-5}

"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$work/default" -DFACEPROBE_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake -S "$here" -B "$work/native" -DFACEPROBE_NATIVE=ON -DFACEPROBE_BENCH=ON \
  -DBUILD_TESTING=OFF >/dev/null
for variant in default native; do
  cmake --build "$work/$variant" -j "$(nproc)" >/dev/null
done
rm -rf "$work/x86-64-lib"
mkdir -p "$work/x86-64-lib"
cp "$work/default/run/lib/libfaceprobe-stages.so" "$work/x86-64-lib/"
variants=(default x86-64 native)
[ -n "${PACKAGE:-}" ] && variants+=(package)
if [ -n "${BASELINE:-}" ]; then
  rm -rf "$work/baseline-src"
  mkdir -p "$work/baseline-src"
  git -C "$here" archive "$BASELINE" | tar -x -C "$work/baseline-src"
  cmake -S "$work/baseline-src" -B "$work/baseline" -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$work/baseline" -j "$(nproc)" >/dev/null
  variants+=(baseline)
  echo "baseline: the default build of $(git -C "$here" rev-parse --short "$BASELINE")"
fi
# Where a variant runs from, and the library path that picks its copy.
run_dir() {
  case $1 in
    default | x86-64) echo "$work/default/run" ;;
    package) echo /usr/share/faceprobe ;;
    *) echo "$work/$1/run" ;;
  esac
}
program() { if [ "$1" = package ]; then echo /usr/bin/faceprobe; else echo ./faceprobe; fi; }
lib_path() { if [ "$1" = x86-64 ]; then echo "$work/x86-64-lib"; fi; }
"$here/scripts/fetch-test-photos.sh" "$work/photos" >/dev/null
"$work/default/bench/scale_photo" "$work/photos/grace_hopper.jpg" "$work/small.png" 0.3
"$work/default/bench/scale_photo" "$work/photos/grace_hopper.jpg" "$work/large.png" 19

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
      clock=$( { time (cd "$(run_dir $variant)" && LD_LIBRARY_PATH=$(lib_path $variant) \
        /usr/bin/time -f "%M" -o "$memory" "$(program $variant)" "$work/$photo.png" \
        >/dev/null 2>&1) || true; } 2>&1)
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
ratio() {  # photo variant variant column-expression
  echo "$(figure "$1" "$2" "$4") $(figure "$1" "$3" "$4")" | awk '{print $1 / $2}'
}
for photo in small large; do
  for other in "${variants[@]:1}"; do
    printf "%s: default / %s wall time %.3f, peak memory %.2f\n" "$photo" "$other" \
      "$(ratio $photo default "$other" '$3')" "$(ratio $photo default "$other" '$6')"
  done
  if [ -n "${PACKAGE:-}" ] && [ -n "${BASELINE:-}" ]; then
    printf "%s: package / baseline wall time %.3f\n" "$photo" "$(ratio $photo package baseline '$3')"
  fi
done

for variant in default native; do
  echo
  echo "== stage profile, $variant build"
  "$work/$variant/bench/stage_profile" "$work/$variant/run" "$work/photos/grace_hopper.jpg" "$runs"
done

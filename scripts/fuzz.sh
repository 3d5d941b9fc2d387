#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) into build-fuzz and
# runs each for SECONDS (default 20), starting from the seed corpora in
# fuzz/corpus. Any crash, sanitizer report or hang fails the run; the input
# that caused it is left in build-fuzz/crashes/.
# Usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$here/build-fuzz}
seconds=${1:-20}

EXTRA_PACKAGES="clang libclang-rt-14-dev" "$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DFACEPROBE_FUZZ=ON \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
mkdir -p "$build/crashes" "$build/corpus/shape_model"
"$build/fuzz/make_shape_model_seed" "$build/corpus/shape_model/small_model.dat"
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for target in model_reader crop_letterbox brightness report shape_model quality; do
  mkdir -p "$build/corpus/$target"
  seeds=()
  [ -d "$here/fuzz/corpus/$target" ] && seeds=("$here/fuzz/corpus/$target")
  echo "fuzzing $target for ${seconds}s"
  status=0
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/crashes/$target-" \
    "$build/corpus/$target" "${seeds[@]}" >"$build/$target.log" 2>&1 || status=$?
  grep -E "^(Done|==[0-9]+==ERROR|SUMMARY|.*runtime error)" "$build/$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 30 "$build/$target.log"
    exit "$status"
  fi
done
echo "fuzzing found nothing"

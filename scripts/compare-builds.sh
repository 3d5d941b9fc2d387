#!/usr/bin/env bash
# Checks that every copy of the stages library, and a build for this machine
# alone (-march=native), print the same records, the same standard error and
# the same exit statuses, and write byte-identical normalised images, over a
# corpus of variants of the test photos generated in the build tree
# (brightness, rotation, scale, blur, noise, JPEG quality 40, off-centre
# crops, mirror); that the face detector's scores agree to the bit; that
# faceprobe-batch prints faceprobe's record for every one of them; and that
# faceprobe-batch prints the same JSON lines (named head angles and the
# photo's own frame included) under each. The copies are forced in turn
# through LD_LIBRARY_PATH; a quarter of the corpus runs again with glibc's
# own AVX2 and FMA code hidden (its libm picks other routines then). The
# face search split into tasks is compared with dlib's own serial search
# (FACEPROBE_SERIAL_SEARCH=1) on the corpus, under faceprobe-batch --jobs 1,
# and on a 19 and a 48 megapixel photo.
# Exits 1 on any difference.
# Usage: compare-builds.sh   (BUILD_DIR: the default build, default build;
# the native build goes to BUILD_DIR-native)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
native=$build-native

"$here/scripts/build.sh" >/dev/null
cmake -S "$here" -B "$native" -DFACEPROBE_NATIVE=ON -DBUILD_TESTING=OFF -DFACEPROBE_BENCH=ON \
  >/dev/null
cmake --build "$native" -j "$(nproc)" >/dev/null

corpus=$build/corpus
rm -rf "$corpus"
mkdir -p "$corpus"
"$build/tests/make_corpus" "$corpus" "$build"/photos/{grace_hopper.jpg,astronaut.png,einstein.jpg}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The baseline copy alone in a folder: a folder on LD_LIBRARY_PATH is searched
# with its glibc-hwcaps subfolders, so the build's own lib folder would give
# the x86-64-v3 copy again.
mkdir "$work/x86-64-lib"
cp "$build/run/lib/libfaceprobe-stages.so" "$work/x86-64-lib/"
variants=(x86-64)
if grep -qw fma /proc/cpuinfo &&
  grep -qw avx2 /proc/cpuinfo; then
  variants+=(x86-64-v3)
fi
variants+=(native no-fma serial)
# The run folder and the library path of a variant.
run_dir() { if [ "$1" = native ]; then echo "$native/run"; else echo "$build/run"; fi; }
lib_path() {
  case $1 in
    x86-64 | no-fma) echo "$work/x86-64-lib" ;;
    serial) echo "$build/run/lib" ;;
    x86-64-v3) echo "$build/run/lib/glibc-hwcaps/x86-64-v3" ;;
    *) echo "" ;;
  esac
}
tunables() { if [ "$1" = no-fma ]; then echo "glibc.cpu.hwcaps=-AVX2,-FMA"; fi; }
serial() { if [ "$1" = serial ]; then echo 1; else echo 0; fi; }

# One analysis: RUN_DIR LIBRARY_PATH TUNABLES OUT_DIR PHOTO. The photo is
# copied into OUT_DIR so that each variant writes its own normalised image.
analyse() {
  local run=$1 lib=$2 tunables=$3 out=$4 photo=$5 name status=0
  name=$(basename "$photo")
  cp "$photo" "$out/$name"
  (cd "$run" && LD_LIBRARY_PATH=$lib GLIBC_TUNABLES=$tunables \
    FACEPROBE_SERIAL_SEARCH=$(serial "$(basename "$out")") ./faceprobe "$out/$name" \
    >"$out/$name.out" 2>"$out/$name.err") || status=$?
  echo "$status" >"$out/$name.status"
}
export -f analyse serial

differences=0
for variant in "${variants[@]}"; do
  mkdir -p "$work/$variant"
  version=$(cd "$(run_dir $variant)" && LD_LIBRARY_PATH=$(lib_path $variant) \
    GLIBC_TUNABLES=$(tunables $variant) ./faceprobe --version)
  echo "$variant: $version"
  case $variant in
    x86-64 | no-fma) expected="(x86-64)" ;;
    serial) expected="" ;;
    *) expected="($variant)" ;;
  esac
  [[ "$version" == *"$expected" ]] || { echo "$variant runs another copy"; differences=1; }
  photos=$(find "$corpus" -type f | sort)
  # A quarter of the corpus where glibc's libm is only what differs.
  [ "$variant" = no-fma ] && photos=$(awk 'NR % 4 == 1' <<<"$photos")
  tr '\n' '\0' <<<"$photos" |
    xargs -0 -n 1 -P "$(nproc)" bash -c 'analyse "$0" "$1" "$2" "$3" "$4"' \
      "$(run_dir $variant)" "$(lib_path $variant)" "$(tunables $variant)" "$work/$variant"
done

for variant in "${variants[@]:1}"; do
  for file in "$work/$variant"/*; do
    name=$(basename "$file")
    if ! cmp -s "$file" "$work/x86-64/$name"; then
      echo "differs between x86-64 and $variant: $name"
      differences=1
    fi
  done
  [ "$variant" = no-fma ] && continue
  [ "$(ls "$work/x86-64" | wc -l)" -eq "$(ls "$work/$variant" | wc -l)" ] || {
    echo "x86-64 and $variant wrote different sets of files"
    differences=1
  }
done

# The detector's scores, to the bit, under each copy.
for variant in "${variants[@]}"; do
  [ "$variant" = native ] && continue
  find "$corpus" -type f -print0 | sort -z |
    LD_LIBRARY_PATH=$(lib_path $variant) GLIBC_TUNABLES=$(tunables $variant) \
      FACEPROBE_SERIAL_SEARCH=$(serial $variant) xargs -0 "$build/tests/detection_scores" "$build/run/shape_predictor_68_face_landmarks.dat" \
      >"$work/scores.$variant" 2>/dev/null
  if ! cmp -s "$work/scores.x86-64" "$work/scores.$variant"; then
    echo "the detector's scores differ between x86-64 and $variant:"
    diff "$work/scores.x86-64" "$work/scores.$variant" | head -4
    differences=1
  fi
done

# faceprobe-batch over the same corpus: each line's record (or message) must
# be faceprobe's standard output.
mkdir -p "$work/batch-out"
(cd "$build/run" && ./faceprobe-batch --jobs "$(nproc)" --output-dir "$work/batch-out" \
  "$corpus" >"$work/batch.tsv" 2>/dev/null) || {
  echo "faceprobe-batch failed"
  differences=1
}
# Columns: path status brightness pitch yaw roll normalised record message pose_fit,
# then the quality components.
tail -n +2 "$work/batch.tsv" >"$work/batch.rows"
while IFS= read -r line; do
  readarray -td $'\t' field < <(printf '%s' "$line")
  path=${field[0]} status=${field[1]} record=${field[7]} message=${field[8]:-}
  name=$(basename "$path")
  expected=$(cat "$work/x86-64/$name.out")
  if [ "$status" = ok ]; then
    got=$record
  else
    got=$status
    [ -n "$message" ] && got=$status$'\n'$message
  fi
  if [ "$got" != "$expected" ]; then
    echo "faceprobe-batch differs from faceprobe: $name"
    differences=1
  fi
  if [ "$status" = ok ] && ! cmp -s "$work/batch-out/${name%.*}_resize.jpg" \
    "$work/x86-64/${name%.*}_resize.jpg"; then
    echo "faceprobe-batch wrote another normalised image: $name"
    differences=1
  fi
done <"$work/batch.rows"

# The JSON lines under each variant, each writing its normalised images into
# one folder emptied between them, so that the lines name the same files.
for variant in "${variants[@]}"; do
  [ "$variant" = no-fma ] && continue
  rm -rf "$work/json-out"
  mkdir "$work/json-out"
  jobs=$(nproc)
  [ "$variant" = serial ] && jobs=1
  (cd "$(run_dir $variant)" && LD_LIBRARY_PATH=$(lib_path $variant) \
    FACEPROBE_SERIAL_SEARCH=$(serial $variant) ./faceprobe-batch \
    --format jsonl --jobs "$jobs" --output-dir "$work/json-out" "$corpus" \
    >"$work/$variant.jsonl" 2>/dev/null) || {
    echo "faceprobe-batch under $variant failed"
    differences=1
  }
  if ! cmp -s "$work/x86-64.jsonl" "$work/$variant.jsonl"; then
    echo "faceprobe-batch under $variant prints other JSON lines:"
    diff "$work/x86-64.jsonl" "$work/$variant.jsonl" | cut -c1-300 | head -4
    differences=1
  fi
done

# Large photos, where the search splits the big levels into bands.
mkdir -p "$work/large"
for mp in 19 48; do
  "$native/bench/scale_photo" "$build/photos/grace_hopper.jpg" "$work/large/$mp.png" "$mp" >/dev/null
  for variant in x86-64-v3 serial; do
    mkdir -p "$work/large/$variant"
    analyse "$build/run" "$build/run/lib" "" "$work/large/$variant" "$work/large/$mp.png"
  done
  for file in "$work/large/serial/$mp".*; do
    cmp -s "$file" "$work/large/x86-64-v3/$(basename "$file")" || {
      echo "the parallel search differs from the serial one: $(basename "$file")"
      differences=1
    }
  done
done

count=$(find "$corpus" -type f | wc -l)
analysed=$(grep -lx 1 "$work"/x86-64/*.status | wc -l)
lines=$(wc -l <"$work/batch.rows")
[ "$lines" -eq "$count" ] || {
  echo "faceprobe-batch printed $lines lines for $count photos"
  differences=1
}
if [ "$differences" -eq 0 ]; then
  echo "${variants[*]} agree on $count photos, $analysed of them analysed" \
    "(records, standard error, statuses, normalised images, the detector's scores," \
    "faceprobe-batch's JSON lines; no-fma on a quarter of them; the serial search also" \
    "on a 19 and a 48 MP photo);" \
    "faceprobe-batch prints faceprobe's records"
fi
exit "$differences"

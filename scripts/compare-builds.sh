#!/usr/bin/env bash
# Checks that the default build (tuned to this machine's processor) and the
# portable build print the same records, the same standard error and the same
# exit statuses, and write byte-identical normalised images, over a corpus of
# variants of the test photos generated in the build tree (brightness,
# rotation, scale, blur, noise, JPEG quality 40, off-centre crops, mirror);
# that faceprobe-batch prints faceprobe's record for every one of them; and
# that both builds' faceprobe-batch print the same JSON lines (named head
# angles and the photo's own frame included).
# Exits 1 on any difference.
# Usage: compare-builds.sh   (BUILD_DIR: the default build, default build;
# the portable build goes to BUILD_DIR-portable)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
native=${BUILD_DIR:-$here/build}
portable=$native-portable

"$here/scripts/build.sh" >/dev/null
cmake -S "$here" -B "$portable" -DFACEPROBE_PORTABLE=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$portable" -j "$(nproc)" >/dev/null

corpus=$native/corpus
rm -rf "$corpus"
mkdir -p "$corpus"
"$native/tests/make_corpus" "$corpus" "$native"/photos/{grace_hopper.jpg,astronaut.png,einstein.jpg}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One analysis: BUILD_RUN_DIR OUT_DIR PHOTO. The photo is copied into OUT_DIR
# so that each build writes its own normalised image.
analyse() {
  local run=$1 out=$2 photo=$3 name status=0
  name=$(basename "$photo")
  cp "$photo" "$out/$name"
  (cd "$run" && ./faceprobe "$out/$name" >"$out/$name.out" 2>"$out/$name.err") || status=$?
  echo "$status" >"$out/$name.status"
}
export -f analyse

for build in native portable; do
  dir=$native
  [ "$build" = portable ] && dir=$portable
  mkdir -p "$work/$build"
  find "$corpus" -type f -print0 | sort -z |
    xargs -0 -n 1 -P "$(nproc)" bash -c 'analyse "$0" "$1" "$2"' "$dir/run" "$work/$build"
done

differences=0
for file in "$work"/native/*; do
  name=$(basename "$file")
  if ! cmp -s "$file" "$work/portable/$name"; then
    echo "differs between the builds: $name"
    differences=1
  fi
done
[ "$(ls "$work/native" | wc -l)" -eq "$(ls "$work/portable" | wc -l)" ] || {
  echo "the builds wrote different sets of files"
  differences=1
}

# faceprobe-batch over the same corpus: each line's record (or message) must
# be faceprobe's standard output.
mkdir -p "$work/batch-out"
(cd "$native/run" && ./faceprobe-batch --jobs "$(nproc)" --output-dir "$work/batch-out" \
  "$corpus" >"$work/batch.tsv" 2>/dev/null) || {
  echo "faceprobe-batch failed"
  differences=1
}
# Columns: path status brightness pitch yaw roll normalised record message pose_fit.
tail -n +2 "$work/batch.tsv" >"$work/batch.rows"
while IFS= read -r line; do
  readarray -td $'\t' field < <(printf '%s' "$line")
  path=${field[0]} status=${field[1]} record=${field[7]} message=${field[8]:-}
  name=$(basename "$path")
  expected=$(cat "$work/native/$name.out")
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
    "$work/native/${name%.*}_resize.jpg"; then
    echo "faceprobe-batch wrote another normalised image: $name"
    differences=1
  fi
done <"$work/batch.rows"

# Both builds' JSON lines, each writing its normalised images into one folder
# emptied between them, so that the lines name the same files.
for build in native portable; do
  dir=$native
  [ "$build" = portable ] && dir=$portable
  rm -rf "$work/json-out"
  mkdir "$work/json-out"
  (cd "$dir/run" && ./faceprobe-batch --format jsonl --jobs "$(nproc)" \
    --output-dir "$work/json-out" "$corpus" >"$work/$build.jsonl" 2>/dev/null) || {
    echo "faceprobe-batch of the $build build failed"
    differences=1
  }
done
if ! cmp -s "$work/native.jsonl" "$work/portable.jsonl"; then
  echo "the builds' faceprobe-batch print other JSON lines:"
  diff "$work/native.jsonl" "$work/portable.jsonl" | cut -c1-300 | head -4
  differences=1
fi

count=$(find "$corpus" -type f | wc -l)
analysed=$(grep -lx 1 "$work"/native/*.status | wc -l)
lines=$(wc -l <"$work/batch.rows")
[ "$lines" -eq "$count" ] || {
  echo "faceprobe-batch printed $lines lines for $count photos"
  differences=1
}
if [ "$differences" -eq 0 ]; then
  echo "default and portable builds agree on $count photos, $analysed of them analysed" \
    "(records, standard error, statuses, normalised images, faceprobe-batch's JSON lines);" \
    "faceprobe-batch prints faceprobe's records"
fi
exit "$differences"

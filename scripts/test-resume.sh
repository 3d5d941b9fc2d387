#!/usr/bin/env bash
# faceprobe-batch --output FILE --resume, killed and taken up again:
# - over 206 photos (copies of the test photos, four that are no photo, and
#   two whose normalised images would share a name),
#   killed with SIGKILL at three random points, a torn line left after one
#   kill, and resumed each time; then the same with SIGTERM, and with
#   --shard 2/3: each final table equals one uninterrupted run's standard
#   output byte for byte, header included, and every normalised image is
#   present and equal to that run's;
# - resuming a finished table analyses nothing and says so;
# - --resume without --output, a table of another format, made with other
#   options, from another list, or not faceprobe-batch's: status 2, a
#   message, the table untouched.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/build.sh" >/dev/null
batch=("$build/run/faceprobe-batch" --data "$build/run")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "resume test: $*"; exit 1; }

mkdir "$work/photos"
names=(grace_hopper.jpg astronaut.png einstein.jpg)
for i in $(seq -w 1 200); do
  name=${names[$((10#$i % 3))]}
  cp "$build/photos/$name" "$work/photos/$i-$name"
done
for i in 1 2 3 4; do printf 'no photo %s' "$i" >"$work/photos/0$i-text.jpg"; done
cp "$build/photos/grace_hopper.jpg" "$work/photos/100-twin.jpg"
cp "$build/photos/astronaut.png" "$work/photos/100-twin.png"

# One uninterrupted run per case: its table and its normalised images.
reference() {  # NAME BATCH_OPTIONS...
  local name=$1
  shift
  (cd "$work" && "${batch[@]}" "$@" --output-dir "out-$name" photos >"$name.expected" 2>/dev/null)
  mv "$work/out-$name" "$work/$name.images"
}

# Runs the batch with --resume until it finishes, stopping it KILLS times
# with SIGNAL once the table has grown by a random 1 to 16 lines, then
# compares.
interrupted() {  # NAME SIGNAL KILLS BATCH_OPTIONS...
  local name=$1 signal=$2 kills=$3 status pid target
  shift 3
  reference "$name" "$@"
  local run=("${batch[@]}" "$@" --output-dir "out-$name" --output "$name.tsv" --resume photos)
  for k in $(seq 1 "$kills"); do
    target=$(($( (cat "$work/$name.tsv" 2>/dev/null || true) | wc -l) + 1 + RANDOM % 16))
    (cd "$work" && exec "${run[@]}" 2>>"$name.log") &
    pid=$!
    for _ in $(seq 1 600); do
      [ "$( (cat "$work/$name.tsv" 2>/dev/null || true) | wc -l)" -lt "$target" ] || break
      sleep 0.05
    done
    kill -s "$signal" "$pid"
    status=0
    wait "$pid" 2>/dev/null || status=$?
    [ "$status" -ne 0 ] || fail "$name: the run ended before its $signal"
    # A line cut short by the kill, as a kill between two writes leaves it.
    if [ "$k" -eq 2 ]; then printf 'photos/cut short' >>"$work/$name.tsv"; fi
  done
  (cd "$work" && "${run[@]}" 2>>"$name.log") || fail "$name: the last run failed: $(tail -3 "$work/$name.log")"
  cmp "$work/$name.tsv" "$work/$name.expected" || fail "$name: the resumed table differs"
  diff -r "$work/out-$name" "$work/$name.images" >/dev/null || fail "$name: the normalised images differ"
  grep -q "already in $name.tsv" "$work/$name.log" || fail "$name: no summary counts the lines kept"
  echo "resume: $name: stopped $kills times with SIG$signal, resumed: the table and" \
    "$(ls "$work/out-$name" | wc -l) normalised images equal an unbroken run's"
}

interrupted kill KILL 3
interrupted term TERM 3 --format tsv
interrupted shard KILL 2 --shard 2/3
interrupted jsonl KILL 1 --format jsonl

# A finished table: nothing analysed, and said so.
cd "$work"
before=$(sha256sum kill.tsv)
"${batch[@]}" --output-dir out-kill --output kill.tsv --resume photos 2>finished.log ||
  fail "resuming a finished table failed"
grep -q "holds every photo of the input already: nothing to analyse" finished.log ||
  fail "resuming a finished table said: $(cat finished.log)"
grep -q "faceprobe-batch: 0 photos, 0 ok; 206 already in kill.tsv" finished.log ||
  fail "resuming a finished table summed up: $(cat finished.log)"
# The name clash was told when its line was written, not again.
! grep -q "is not analysed" finished.log || fail "resuming told a clash again: $(cat finished.log)"
[ "$(sha256sum kill.tsv)" = "$before" ] || fail "resuming a finished table changed it"

# Bad input: status 2, a message that says what is wrong, the table untouched.
{ head -n 1 kill.tsv; printf 'some\ttable\n'; } >theirs.tsv
cp kill.tsv.options theirs.tsv.options
cp kill.tsv unrecorded.tsv
head -c 3000 kill.tsv >short.tsv
cp kill.tsv.options short.tsv.options
refused() {  # WHAT MESSAGE TABLE BATCH_ARGUMENTS...
  local what=$1 message=$2 table=$3 status=0 sum
  shift 3
  sum=$(sha256sum "$table" "$table.options" 2>/dev/null || true)
  "${batch[@]}" "$@" >/dev/null 2>refused.log || status=$?
  [ "$status" -eq 2 ] || fail "$what: status $status"
  grep -q -- "$message" refused.log || fail "$what: said $(cat refused.log)"
  [ "$(sha256sum "$table" "$table.options" 2>/dev/null || true)" = "$sum" ] || fail "$what: the table changed"
}
ls -r photos/* >reversed.list
refused "--resume without --output" "--resume needs --output" kill.tsv --resume photos
refused "a table of another format" "made with format=tsv, this run has format=jsonl" kill.tsv \
  --format jsonl --output-dir out-kill --output kill.tsv --resume photos
refused "a table made with other options" "made with max-pixels=100000000, this run has max-pixels=5000" \
  kill.tsv --max-pixels 5000 --output-dir out-kill --output kill.tsv --resume photos
refused "another list" "is not the line of the input's photo" short.tsv \
  --output-dir out-kill --output short.tsv --resume - <reversed.list
refused "a shorter list" "the input only 3 photos" kill.tsv \
  --output-dir out-kill --output kill.tsv --resume photos/001-astronaut.png photos/002-einstein.jpg photos/003-grace_hopper.jpg
refused "a table not made by faceprobe-batch" "line 2 is no line of faceprobe-batch's TSV table" \
  theirs.tsv --output-dir out-kill --output theirs.tsv --resume photos
refused "a table without its options" "unrecorded.tsv.options, which records the options it was made with, is missing" \
  unrecorded.tsv --output-dir out-kill --output unrecorded.tsv --resume photos
echo "resume: a finished table analyses nothing; seven kinds of bad input get status 2 and leave the table as it was"

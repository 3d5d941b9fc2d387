#!/usr/bin/env bash
# What --resume costs: faceprobe-batch reading a table of LINES result lines
# (default 1000000, each a whole ok line of a test photo under another
# path) and matching them to an input list of as many paths on standard
# input, none analysed again; against the same run on an empty table (start
# and the input alone). Whole process, median of RUNS (default 5),
# alternating. Run by hand; prints figures.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
lines=${LINES:-1000000}
runs=${RUNS:-5}
"$here/scripts/build.sh" >/dev/null
batch=("$build/run/faceprobe-batch" --data "$build/run")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# A real line of the test photo, its path replaced by each of the list's.
cp "$build/photos/grace_hopper.jpg" photo.jpg
"${batch[@]}" --output one.tsv photo.jpg 2>/dev/null
seq -f 'photos/%07g.jpg' "$lines" >list
awk -F'\t' -v OFS='\t' 'NR == FNR { if (FNR == 2) { $1 = ""; row = $0 } next } { print $1 row }' \
  one.tsv list >rows
: >empty.list
"${batch[@]}" --output table.tsv --resume - <empty.list 2>/dev/null
cat rows >>table.tsv
cp table.tsv.options empty.tsv.options
echo "table: $(wc -l <table.tsv) lines, $(du -m table.tsv | cut -f1) MB"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for _ in $(seq 1 "$runs"); do
  /usr/bin/time -f "%e %M" -a -o resume.time "${batch[@]}" --output table.tsv --resume - <list 2>/dev/null
  cp /dev/null empty.tsv
  /usr/bin/time -f "%e %M" -a -o empty.time "${batch[@]}" --output empty.tsv --resume - <empty.list 2>/dev/null
done
cmp -s <(tail -n +2 table.tsv) rows || { echo "the table changed"; exit 1; }
echo "resume over $lines lines: median $(cut -d' ' -f1 resume.time | median) s," \
  "peak $(($(cut -d' ' -f2 resume.time | median) / 1024)) MB"
echo "empty table, empty input: median $(cut -d' ' -f1 empty.time | median) s," \
  "peak $(($(cut -d' ' -f2 empty.time | median) / 1024)) MB"

#!/usr/bin/env bash
# Draws the README's picture of the head-pose axes: a test photo's normalised
# face with its landmarks and the face's axes, as faceprobe-batch --annotate
# draws them, into BUILD/doc/pose-axes.jpg, with its JSON line beside it in
# pose-axes.jsonl. Generated at build time, never committed.
# Usage: make-pose-picture.sh BUILD
set -euo pipefail
build=$1
doc=$build/doc
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$doc"
cp "$build/photos/einstein.jpg" "$work/pose-axes.jpg"
(cd "$build/run" && ./faceprobe-batch --format jsonl --output-dir "$work/out" --annotate "$work" \
  "$work/pose-axes.jpg" >"$work/line" 2>"$work/err") || {
  echo "make-pose-picture: faceprobe-batch failed:" >&2
  cat "$work/err" >&2
  exit 1
}
sed "s|$work/||g" "$work/line" >"$doc/pose-axes.jsonl"
mv "$work/pose-axes_annotated.jpg" "$doc/pose-axes.jpg"

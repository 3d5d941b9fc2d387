#!/usr/bin/env bash
# Builds faceprobe-batch with ThreadSanitizer into build-tsan and runs it with
# four workers over copies of the test photos, drawing each; any report fails
# the run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TSAN_BUILD_DIR:-$here/build-tsan}
BUILD_DIR=$build "$here/scripts/build.sh" -DFACEPROBE_TSAN=ON -DBUILD_TESTING=OFF >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/drawn"
for photo in grace_hopper.jpg astronaut.png einstein.jpg; do
  for copy in 1 2 3; do cp "$build/photos/$photo" "$work/$copy-$photo"; done
done
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 suppressions=$here/tests/sanitizers/tsan.supp"
status=0
(cd "$build/run" && ./faceprobe-batch --jobs 4 --annotate "$work/drawn" "$work" \
  >"$work/out.tsv" 2>"$work/err.txt") ||
  status=$?
if [ "$status" -ne 0 ] || grep -q ThreadSanitizer "$work/err.txt"; then
  cat "$work/err.txt"
  exit 1
fi
echo "ThreadSanitizer: $(grep -c $'\tok\t' "$work/out.tsv") photos analysed by 4 workers, no report"

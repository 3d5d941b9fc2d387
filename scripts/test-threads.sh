#!/usr/bin/env bash
# Builds faceprobe-batch and faceprobe-serve with ThreadSanitizer into
# build-tsan; runs the batch with four workers over copies of the test photos,
# drawing each, faceprobe and the batch on one photo, whose face searches
# run on the helper threads, and the service with two workers under 18
# requests at once;
# any report fails the run.
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

# One photo by faceprobe, which reads the shape model on a second thread, and
# one by faceprobe-batch --jobs 2, whose second worker has nothing to do:
# each face search's tasks run on a helper thread beside the analysing one.
# (With more than one worker the batch keeps OpenCV to one thread of its own;
# with --jobs 1 OpenCV's TBB backend hands work over inside uninstrumented
# libraries, which ThreadSanitizer takes for races of OpenCV's.)
status=0
(cd "$build/run" && ./faceprobe "$work/1-grace_hopper.jpg" >"$work/one.txt" 2>"$work/one.err") ||
  status=$?
(cd "$build/run" && ./faceprobe-batch --jobs 2 "$work/1-astronaut.png" \
  >"$work/one.tsv" 2>>"$work/one.err") || status=$((status + 100))
if [ "$status" -ne 1 ] || [ "$(grep -c $'\tok\t' "$work/one.tsv")" -ne 1 ] ||
  grep -q ThreadSanitizer "$work/one.err"; then
  echo "faceprobe and faceprobe-batch on one photo under ThreadSanitizer: status $status"
  cat "$work/one.err"
  exit 1
fi
echo "ThreadSanitizer: faceprobe and faceprobe-batch searched one photo each on the helper threads, no report"

# faceprobe-serve under load on loopback: 2 workers, 18 requests at once, then
# SIGTERM; any report, a lost answer or another exit status fails the run.
(cd "$build/run" && exec ./faceprobe-serve --listen 127.0.0.1:0 --jobs 2 --queue 20 \
  >"$work/serve.out" 2>"$work/serve.err") &
server=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/serve.out")
  [ -n "$port" ] && break
  sleep 0.2
done
[ -n "$port" ] || { cat "$work/serve.err"; kill "$server"; exit 1; }
clients=()
for copy in 1 2 3 4 5 6; do
  for photo in grace_hopper.jpg astronaut.png einstein.jpg; do
    curl -s --max-time 300 --data-binary "@$build/photos/$photo" \
      -H 'Content-Type: application/octet-stream' \
      "http://127.0.0.1:$port/analyse?normalised=1" >"$work/answer-$copy-$photo.json" &
    clients+=($!)
  done
done
# Every client has its answer (or has given up) before the service is told
# to stop.
for client in "${clients[@]}"; do wait "$client" || true; done
answers=$(cat "$work"/answer-*.json | grep -c '"status":"ok"' || true)
kill -TERM "$server" || { echo "faceprobe-serve ended before its SIGTERM"; cat "$work/serve.err"; exit 1; }
status=0
wait "$server" || status=$?
if [ "$status" -ne 0 ] || [ "$answers" -ne 18 ] || grep -q ThreadSanitizer "$work/serve.err"; then
  echo "faceprobe-serve: status $status, $answers of 18 answers ok"
  cat "$work/serve.err"
  exit 1
fi
echo "ThreadSanitizer: faceprobe-serve answered 18 requests at once, no report"

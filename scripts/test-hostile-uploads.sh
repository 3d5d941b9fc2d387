#!/usr/bin/env bash
# faceprobe-serve against hostile content: uploads made at test time
# (tests/make_bombs: a small file claiming a huge image in each format OpenCV
# decodes, a real progressive JPEG of 87 KB whose frame claims 10000 x 10000
# pixels, one of 150 scans), each sent four at once while a normal client
# posts a photo again and again. The service runs with --jobs 2 and
# --max-memory 2GiB: the lying JPEG's 1.3 GB fit once, not twice.
# It must hold:
# - formats it does not accept (all but JPEG, PNG and WebP): 415 in under 0.1 s;
# - every other upload answered 200 with its status (refused from its header
#   or analysed);
# - the service's peak resident size (VmHWM) within --max-memory plus its
#   resident size once idle;
# - every normal request answered 200.
# It prints the normal client's median time against its time on a quiet
# service (the target: within 1.5 times), a figure, not a verdict.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/build.sh" >/dev/null
work=$(mktemp -d)
service_pid=
cleanup() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() {
  echo "hostile uploads: $*"
  failed=1
}

mkdir "$work/bombs"
"$build/tests/make_bombs" "$build/photos/grace_hopper.jpg" "$work/bombs" >/dev/null
budget=$((2048 << 20))
(cd "$build/run" && exec ./faceprobe-serve --listen 127.0.0.1:0 --jobs 2 --max-memory 2GiB \
  >"$work/listening" 2>"$work/access.log") &
service_pid=$!
for _ in $(seq 100); do
  grep -q listening "$work/listening" 2>/dev/null && break
  sleep 0.1
done
url=$(grep -o 'http://127\.0\.0\.1:[0-9]*' "$work/listening") || { echo "hostile uploads: the service did not start"; exit 1; }
photo=$build/photos/grace_hopper.jpg

post() {  # FILE: "code seconds"
  curl -s -o /dev/null -w '%{http_code} %{time_total}\n' --max-time 300 --data-binary "@$1" \
    -H 'Content-Type: application/octet-stream' "$url/analyse"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The quiet service: the normal client's median, and the service's idle size.
for _ in $(seq 1 15); do post "$photo"; done >"$work/quiet"
idle_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$service_pid/status")

# The normal client posts the photo, one request after another, until told.
: >"$work/normal"
(while [ ! -e "$work/stop" ]; do post "$photo" >>"$work/normal"; done) &
normal_pid=$!
for bomb in "$work"/bombs/*; do
  name=$(basename "$bomb")
  senders=()
  for i in 1 2 3 4; do
    post "$bomb" >"$work/$name.$i" &
    senders+=($!)
  done
  wait "${senders[@]}"
  for i in 1 2 3 4; do
    read -r code seconds <"$work/$name.$i"
    case $name in
      *.jpg | *.png)
        [ "$code" = 200 ] || fail "$name: $code" ;;
      *)
        [ "$code" = 415 ] || fail "$name: $code, not 415"
        awk -v s="$seconds" 'BEGIN { exit !(s < 0.1) }' || fail "$name: 415 after $seconds s" ;;
    esac
  done
  echo "hostile uploads: $name x4: $(cut -d' ' -f1 "$work/$name".? | sort | uniq -c | tr -s ' ' | tr '\n' ';')" \
    "slowest $(cut -d' ' -f2 "$work/$name".? | sort -n | tail -1) s"
done
touch "$work/stop"
wait "$normal_pid"

peak_kb=$(awk '/^VmHWM/ {print $2}' "/proc/$service_pid/status")
[ $((peak_kb * 1024)) -le $((budget + idle_kb * 1024)) ] ||
  fail "peak resident $((peak_kb / 1024)) MiB, over the budget of $((budget >> 20)) MiB and $((idle_kb / 1024)) MiB idle"
quiet=$(cut -d' ' -f2 "$work/quiet" | median)
busy=$(cut -d' ' -f2 "$work/normal" | median)
grep -qv '^200 ' "$work/normal" && fail "normal requests not answered 200: $(grep -v '^200 ' "$work/normal" | head -3)"
ratio=$(awk -v b="$busy" -v q="$quiet" 'BEGIN { printf "%.2f", b / q }')
echo "hostile uploads: peak resident $((peak_kb / 1024)) MiB (budget $((budget >> 20)) MiB + idle" \
  "$((idle_kb / 1024)) MiB); normal client: $(wc -l <"$work/normal") requests, all 200, median" \
  "$busy s against $quiet s quiet: ${ratio}x (target 1.5x$(awk -v r="$ratio" 'BEGIN { if (r > 1.5) printf ", OVER" }'))"
kill -TERM "$service_pid"
wait "$service_pid" || fail "the service exited with $?"
service_pid=
exit "$failed"

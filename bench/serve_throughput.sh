#!/usr/bin/env bash
# faceprobe-serve on loopback against faceprobe-batch, over the three test
# photos: requests per second and p50/p99 latency at concurrency 1, 2 and 8
# (wrk, each request one of the photos in turn), the batch's photos per second
# with two workers over copies of the same photos, and the service's memory
# after 200 and after 2000 requests. Run by hand; prints figures.
# Usage: bench/serve_throughput.sh   (SECONDS_EACH, default 20: wrk's time
# per concurrency)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
seconds=${SECONDS_EACH:-20}
"$here/scripts/build.sh" >/dev/null
command -v wrk >/dev/null || apt-get install -y -q wrk >/dev/null

work=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/photos.lua" <<EOF
local bodies = {}
for _, name in ipairs({"grace_hopper.jpg", "astronaut.png", "einstein.jpg"}) do
  local f = io.open("$build/photos/" .. name, "rb")
  bodies[#bodies + 1] = f:read("*a")
  f:close()
end
local n = 0
request = function()
  n = n + 1
  return wrk.format("POST", "/analyse", {["Content-Type"] = "application/octet-stream"},
                    bodies[(n % #bodies) + 1])
end
EOF

start_server() {
  [ -n "$server" ] && { kill "$server"; wait "$server" 2>/dev/null || true; }
  rm -f "$work/serve.out"
  (cd "$build/run" && exec ./faceprobe-serve --listen 127.0.0.1:0 --jobs 2 --queue 64 \
    >"$work/serve.out" 2>"$work/serve.err") &
  server=$!
  port=
  for _ in $(seq 100); do
    port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/serve.out" 2>/dev/null)
    [ -n "$port" ] && break
    sleep 0.1
  done
  url=http://127.0.0.1:$port
}
start_server
metric() { curl -s "$url/metrics" | awk -v m="$1" '$1 == m {print $2}'; }
hwm_mb() { awk '/VmHWM/ {printf "%.0f", $2 / 1024}' "/proc/$server/status"; }

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs); $(date -u +%Y-%m-%d)"
echo
echo "| concurrency | requests/s | p50 ms | p99 ms | mean analysis ms | non-200 |"
echo "|---|---|---|---|---|---|"
for c in 1 2 8; do
  sum0=$(metric faceprobe_analysis_seconds_sum)
  count0=$(metric faceprobe_analysis_seconds_count)
  wrk -t "$(( c < 2 ? c : 2 ))" -c "$c" -d "${seconds}s" --latency --timeout 30s \
    -s "$work/photos.lua" "$url" >"$work/wrk-$c.txt"
  sum1=$(metric faceprobe_analysis_seconds_sum)
  count1=$(metric faceprobe_analysis_seconds_count)
  rps=$(awk '/Requests\/sec/ {print $2}' "$work/wrk-$c.txt")
  p50=$(awk '$1 == "50%" {print $2}' "$work/wrk-$c.txt")
  p99=$(awk '$1 == "99%" {print $2}' "$work/wrk-$c.txt")
  bad=$(awk '/Non-2xx/ {print $NF}' "$work/wrk-$c.txt")
  mean=$(echo "$sum0 $count0 $sum1 $count1" | awk '{printf "%.1f", 1000 * ($3 - $1) / ($4 - $2)}')
  echo "| $c | $rps | $p50 | $p99 | $mean | ${bad:-0} |"
done

# The batch over copies of the same photos, two workers, in this same run.
mkdir "$work/photos"
for copy in $(seq 20); do
  for photo in grace_hopper.jpg astronaut.png einstein.jpg; do
    cp "$build/photos/$photo" "$work/photos/$copy-$photo"
  done
done
start=$(date +%s.%N)
(cd "$build/run" && ./faceprobe-batch --jobs 2 "$work/photos" >/dev/null 2>&1)
batch_rate=$(echo "$(date +%s.%N) $start" | awk '{printf "%.2f", 60 / ($1 - $2)}')
echo
echo "faceprobe-batch --jobs 2: $batch_rate photos/s over 60 photos"
echo "faceprobe-serve at concurrency 8 / batch: $(awk -v a="$(awk '/Requests\/sec/ {print $2}' "$work/wrk-8.txt")" -v b="$batch_rate" 'BEGIN {printf "%.2f", a / b}')"

# Memory, on a service started afresh: its peak after 200 requests, then
# after 2000.
start_server
more() {  # N: this many more requests, two at a time
  for ((i = 0; i < $1; i++)); do echo "${photos[i % 3]}"; done |
    xargs -P 2 -I{} curl -s -o /dev/null --max-time 60 --data-binary @{} \
      -H 'Content-Type: application/octet-stream' "$url/analyse"
}
photos=("$build"/photos/{grace_hopper.jpg,astronaut.png,einstein.jpg})
more 200
at200=$(hwm_mb)
n200=$(metric 'faceprobe_requests_total{code="200"}')
more 1800
echo
echo "peak memory: $at200 MB after $n200 requests, $(hwm_mb) MB after" \
  "$(metric 'faceprobe_requests_total{code="200"}')"

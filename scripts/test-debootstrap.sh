#!/usr/bin/env bash
# The package on a bare Debian system: a debootstrap --variant=minbase
# bookworm system from the archive apt uses here (cached in
# build/debootstrap/base.tar, so reruns skip it), the package installed there
# with apt pulling its dependencies, then faceprobe, faceprobe-batch and
# faceprobe-serve run in it (the service: started, /healthz, one photo
# posted, SIGTERM, exit 0). Needs root.
# Usage: test-debootstrap.sh DEB
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
deb=$(realpath "$1")
cache=$build/debootstrap
[ "$(id -u)" -eq 0 ] || { echo "debootstrap test: skipped, needs root"; exit 0; }
fail() { echo "debootstrap test: $*"; exit 1; }

# The archive of the machine's own apt sources (deb822 or one-line form).
mirror=$(awk '/^URIs:/ && !/security/ {print $2; exit}' /etc/apt/sources.list.d/*.sources \
  2>/dev/null || true)
[ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $3 ~ /^bookworm$/ {print $2; exit}' \
  /etc/apt/sources.list 2>/dev/null || true)
[ -n "$mirror" ] || mirror=http://deb.debian.org/debian

start=$SECONDS
mkdir -p "$cache"
if [ ! -s "$cache/base.tar" ]; then
  rm -rf "$cache/make"
  debootstrap --variant=minbase bookworm "$cache/make" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
    { tail -20 "$cache/debootstrap.log"; fail "debootstrap failed"; }
  tar -C "$cache/make" -cf "$cache/base.tar.part" .
  mv "$cache/base.tar.part" "$cache/base.tar"
  rm -rf "$cache/make"
fi
root=$(mktemp -d)
cleanup() {
  for mount in proc dev; do umount -l "$root/$mount" 2>/dev/null || true; done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$cache/base.tar"
# The machine's own sources, with their updates and security suites.
if cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/" 2>/dev/null; then
  rm -f "$root/etc/apt/sources.list"
else
  cp /etc/apt/sources.list "$root/etc/apt/"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
cp "$deb" "$root/tmp/"
cp "$build/photos/grace_hopper.jpg" "$root/tmp/photo.jpg"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }
in_root apt-get update -q >/dev/null
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  "/tmp/$(basename "$deb")" >"$cache/install.log" 2>&1 ||
  { tail -20 "$cache/install.log"; fail "apt-get install of the package failed"; }

expected=$(cd "$build/run" && ./faceprobe "$build/photos/grace_hopper.jpg" || true)
got=$(in_root sh -c 'cd /usr/share/faceprobe && faceprobe /tmp/photo.jpg' || true)
[ "$got" = "$expected" ] || fail "faceprobe printed: $got"
in_root sh -c 'cd /tmp && faceprobe-batch photo.jpg 2>/dev/null' | tail -n +2 | cut -f8 >"$root/tmp/batch"
[ "$(cat "$root/tmp/batch")" = "$expected" ] || fail "faceprobe-batch printed: $(cat "$root/tmp/batch")"

# The service on a port of loopback, its address read from its log.
in_root sh -c 'faceprobe-serve --listen 127.0.0.1:0 >/tmp/serve.log 2>&1 & echo $! >/tmp/serve.pid'
port=
for _ in $(seq 1 100); do
  port=$(grep -om1 '127\.0\.0\.1:[0-9]*' "$root/tmp/serve.log" | cut -d: -f2 || true)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$root/tmp/serve.log"; fail "faceprobe-serve did not start"; }
health=$(curl -s --max-time 10 "http://127.0.0.1:$port/healthz") || fail "/healthz unanswered"
answer=$(curl -s --max-time 60 --data-binary @"$build/photos/grace_hopper.jpg" \
  -H 'Content-Type: image/jpeg' "http://127.0.0.1:$port/analyse") || fail "POST unanswered"
grep -qF "\"record\":\"$expected\"" <<<"$answer" || fail "the service answered: ${answer:0:200}"
pid=$(cat "$root/tmp/serve.pid")
kill -TERM "$pid"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$pid" 2>/dev/null || fail "faceprobe-serve did not stop on SIGTERM"
grep -q . <<<"$health" || fail "/healthz said nothing"
echo "debootstrap: on a bare bookworm system the package installs with its dependencies;" \
  "faceprobe, faceprobe-batch and faceprobe-serve answer as the build does ($((SECONDS - start)) s)"

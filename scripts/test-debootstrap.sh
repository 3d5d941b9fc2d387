#!/usr/bin/env bash
# The package on a bare Debian system: a debootstrap --variant=minbase
# bookworm system from the archive apt uses here (cached in
# build/debootstrap/base.tar, so reruns skip it), the package installed there
# with apt pulling its dependencies, then faceprobe, faceprobe-batch and
# faceprobe-serve run in it (the service: started, /healthz, one photo
# posted, SIGTERM, exit 0), and faceprobe once more without /proc. Needs
# root.
# Usage: test-debootstrap.sh DEB
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
deb=$(realpath "$1")
[ "$(id -u)" -eq 0 ] || { echo "debootstrap test: skipped, needs root"; exit 0; }
fail() { echo "debootstrap test: $*"; exit 1; }

start=$SECONDS
. "$here/scripts/bare-root.sh"
root=$(mktemp -d)
trap 'bare_root_remove "$root"' EXIT
bare_root "$root" || fail "no bare system"
cp "$deb" "$root/tmp/"
cp "$build/photos/grace_hopper.jpg" "$root/tmp/photo.jpg"
in_root "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  "/tmp/$(basename "$deb")" >"$root/install.log" 2>&1 ||
  { tail -20 "$root/install.log"; fail "apt-get install of the package failed"; }

expected=$(cd "$build/run" && ./faceprobe "$build/photos/grace_hopper.jpg" || true)
got=$(in_root "$root" sh -c 'cd /usr/share/faceprobe && faceprobe /tmp/photo.jpg' || true)
[ "$got" = "$expected" ] || fail "faceprobe printed: $got"
in_root "$root" sh -c 'cd /tmp && faceprobe-batch photo.jpg 2>/dev/null' | tail -n +2 | cut -f8 >"$root/tmp/batch"
[ "$(cat "$root/tmp/batch")" = "$expected" ] || fail "faceprobe-batch printed: $(cat "$root/tmp/batch")"

# The service on a port of loopback, its address read from its log.
in_root "$root" sh -c 'faceprobe-serve --listen 127.0.0.1:0 >/tmp/serve.log 2>&1 & echo $! >/tmp/serve.pid'
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

# Without /proc the loader cannot tell where a program is ($ORIGIN): the
# programs find their library by the package's own folder.
umount "$root/proc"
version=$(in_root "$root" faceprobe --version) || fail "without /proc, faceprobe --version: $version"
got=$(in_root "$root" sh -c 'cd /usr/share/faceprobe && faceprobe /tmp/photo.jpg' || true)
[ "$got" = "$expected" ] || fail "without /proc, faceprobe printed: $got"
echo "debootstrap: on a bare bookworm system the package installs with its dependencies;" \
  "faceprobe, faceprobe-batch and faceprobe-serve answer as the build does, faceprobe" \
  "without /proc too ($((SECONDS - start)) s)"

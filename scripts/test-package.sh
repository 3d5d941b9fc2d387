#!/usr/bin/env bash
# The installed commands, as an administrator gets them:
# 1. cmake --install into a temporary prefix: the installed faceprobe-batch,
#    run from an empty folder with no --data, prints faceprobe's record.
# 2. cpack -G DEB, then apt-get install of the package into this machine
#    (needs root or sudo): faceprobe-batch from an empty folder, faceprobe
#    from /usr/share/faceprobe, the man pages; the package is removed again.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/build.sh" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
photo=$work/photo.jpg
cp "$build/photos/grace_hopper.jpg" "$photo"
expected=$(cd "$build/run" && ./faceprobe "$photo" || true)
[ -n "$expected" ] || { echo "faceprobe printed nothing"; exit 1; }

fail() { echo "package test: $*"; exit 1; }
record_of() {  # the record column of a one-photo TSV, under its header
  tail -n +2 <<<"$1" | cut -f8
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
mkdir "$work/empty"
line=$(cd "$work/empty" && "$work/prefix/bin/faceprobe-batch" "$photo" 2>/dev/null)
[ "$(record_of "$line")" = "$expected" ] || fail "installed faceprobe-batch printed: $line"
echo "cmake --install: the installed faceprobe-batch finds its data files and prints faceprobe's record"

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "package test: skipped, needs root or sudo"; exit 0; }
  sudo_cmd=(sudo)
fi
(cd "$build" && rm -f faceprobe_*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/faceprobe_*.deb)
dpkg-deb -I "$deb" | grep -E "Package|Version|Depends"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get install -y -q "$deb" >/dev/null
removed=
remove() {
  [ -n "$removed" ] && return
  removed=1
  "${sudo_cmd[@]}" apt-get remove -y -q faceprobe >/dev/null || true
}
trap 'remove; rm -rf "$work"' EXIT
[ "$(command -v faceprobe-batch)" = /usr/bin/faceprobe-batch ] || fail "faceprobe-batch is not /usr/bin"
line=$(cd "$work/empty" && faceprobe-batch "$photo" 2>/dev/null)
[ "$(record_of "$line")" = "$expected" ] || fail "the package's faceprobe-batch printed: $line"
got=$(cd /usr/share/faceprobe && faceprobe "$photo" || true)
[ "$got" = "$expected" ] || fail "the package's faceprobe printed: $got"
faceprobe-serve --version | grep -q "^faceprobe-serve " || fail "faceprobe-serve --version"
for page in faceprobe faceprobe-batch faceprobe-serve; do
  [ -f "/usr/share/man/man1/$page.1" ] || fail "no man page for $page"
done
remove
echo "Debian package: installed, faceprobe-batch and faceprobe answer as the build does, removed again"

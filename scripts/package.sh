#!/usr/bin/env bash
# Builds the Debian package: installs the build dependencies (idempotently),
# builds a clean copy of the source tree with dpkg-buildpackage, and leaves
# faceprobe_VERSION_amd64.deb in build/package/ (BUILD_DIR/package), its path
# on standard output.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${BUILD_DIR:-$here/build}/package
# What apt prints goes to standard error: standard output is the path alone.
EXTRA_PACKAGES="debhelper dpkg-dev" "$here/scripts/setup-deps.sh" >&2
rm -rf "$out"
mkdir -p "$out/src"
tar -C "$here" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$out/src" -xf -
(cd "$out/src" && dpkg-buildpackage -us -uc -b >"$out/build.log" 2>&1) || {
  tail -30 "$out/build.log" >&2
  echo "package: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
}
ls "$out"/faceprobe_*_amd64.deb

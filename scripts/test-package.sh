#!/usr/bin/env bash
# The installed commands, as an administrator gets them:
# 1. cmake --install into a temporary prefix: the installed faceprobe-batch,
#    run from an empty folder with no --data, prints faceprobe's record.
# 2. The Debian package, built with the README's command (scripts/package.sh):
#    lintian finds no error and no warning; hardening-check passes the three
#    programs; the baseline copy of the stages holds no AVX instruction (ymm,
#    zmm registers), the x86-64-v3 copy no AVX-512 (zmm), the programs none.
# 3. Installed on this machine (needs root or sudo): faceprobe-batch from an
#    empty folder and faceprobe from /usr/share/faceprobe print the build's
#    records; the systemd unit passes systemd-analyze verify; under
#    qemu-x86_64 as an x86-64 (qemu64), an x86-64-v2 (Nehalem) and an
#    x86-64-v3 (Haswell) processor faceprobe prints the same bytes on three
#    photos and names the copy the loader picked; the package is removed.
# 4. scripts/test-debootstrap.sh: the package on a bare Debian system.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/build.sh" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
photos=(grace_hopper.jpg astronaut.png einstein.jpg)
for name in "${photos[@]}"; do
  cp "$build/photos/$name" "$work/$name"
  (cd "$build/run" && ./faceprobe "$work/$name" >"$work/$name.expected" || true)
done
photo=$work/grace_hopper.jpg
expected=$(cat "$work/grace_hopper.jpg.expected")
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
# Without its stages library a program does not start: the loader names the
# library, status 127.
rm -r "$work/prefix/lib/faceprobe"
status=0
err=$("$work/prefix/bin/faceprobe" "$photo" 2>&1 >/dev/null) || status=$?
[ "$status" -eq 127 ] && grep -q "libfaceprobe-stages.so: cannot open shared object file" <<<"$err" ||
  fail "without its library faceprobe said (status $status): $err"

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "package test: skipped, needs root or sudo"; exit 0; }
  sudo_cmd=(sudo)
fi
EXTRA_PACKAGES="lintian devscripts qemu-user debootstrap" "$here/scripts/setup-deps.sh"

start=$SECONDS
deb=$("$here/scripts/package.sh")
echo "package: $(basename "$deb") in $((SECONDS - start)) s"
dpkg-deb -I "$deb" | grep -E "^ (Package|Version|Depends):"

lintian --fail-on error,warning --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1 || {
  cat "$work/lintian"
  fail "lintian"
}
echo "lintian: no error, no warning$( [ -s "$work/lintian" ] && echo "; $(wc -l <"$work/lintian") notes")"

dpkg-deb -x "$deb" "$work/root"
# Control-flow protection is not asked for: bookworm's own crt1.o and crti.o
# lack the IBT and SHSTK marks, so no program linked on bookworm has it.
# faceprobe calls no libc function that fortification covers: its only
# candidate is the memcpy of libstdc++'s inline string code.
for program in faceprobe faceprobe-batch faceprobe-serve; do
  options=(--nocfprotection)
  [ "$program" = faceprobe ] && options+=(--nofortify)
  hardening-check "${options[@]}" "$work/root/usr/bin/$program" >"$work/hardening" ||
    { cat "$work/hardening"; fail "hardening-check $program"; }
done
hardening-check --nocfprotection --nofortify --verbose "$work/root/usr/bin/faceprobe" |
  grep -q "unprotected: memcpy$" || fail "faceprobe calls unfortified libc functions"
echo "hardening-check: the three programs pass (PIE, stack protector, fortify, RELRO, BIND_NOW)"
lib=$work/root/usr/lib/x86_64-linux-gnu/faceprobe
registers() {  # how many instructions of FILE name a register matching RE
  objdump -d --no-show-raw-insn "$1" | grep -cE "$2" || true
}
[ "$(registers "$lib/libfaceprobe-stages.so" '%[yz]mm')" -eq 0 ] ||
  fail "the baseline copy of the stages holds AVX instructions"
[ "$(registers "$lib/glibc-hwcaps/x86-64-v3/libfaceprobe-stages.so" '%zmm')" -eq 0 ] ||
  fail "the x86-64-v3 copy of the stages holds AVX-512 instructions"
[ "$(registers "$lib/glibc-hwcaps/x86-64-v3/libfaceprobe-stages.so" '%ymm')" -gt 0 ] ||
  fail "the x86-64-v3 copy of the stages holds no AVX2 instruction"
for program in faceprobe faceprobe-batch faceprobe-serve; do
  [ "$(registers "$work/root/usr/bin/$program" '%[yz]mm')" -eq 0 ] ||
    fail "$program holds AVX instructions"
done
echo "objdump: no ymm/zmm in the programs and the baseline copy, no zmm in the x86-64-v3 copy"

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
  [ -f "/usr/share/man/man1/$page.1.gz" ] || fail "no compressed man page for $page"
done
unit=/lib/systemd/system/faceprobe-serve.service
systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
! systemctl is-enabled faceprobe-serve >/dev/null 2>&1 || fail "faceprobe-serve is enabled"
echo "Debian package: installed; faceprobe-batch and faceprobe answer as the build does; the unit verifies and is not enabled"

start=$SECONDS
for cpu in qemu64:x86-64 Nehalem:x86-64 Haswell:x86-64-v3; do
  model=${cpu%%:*} copy=${cpu#*:}
  version=$(qemu-x86_64 -cpu "$model" /usr/bin/faceprobe --version 2>/dev/null)
  [[ "$version" == "faceprobe "*" ($copy)" ]] ||
    fail "as $model, faceprobe --version says: $version"
  for name in "${photos[@]}"; do
    got=$(cd /usr/share/faceprobe && qemu-x86_64 -cpu "$model" /usr/bin/faceprobe "$work/$name" \
      2>/dev/null || true)
    [ "$got" = "$(cat "$work/$name.expected")" ] || fail "as $model, faceprobe printed on $name: $got"
  done
done
# The x86-64-v3 copy forced on an x86-64-v2 processor: refused with a
# message, no illegal instruction.
status=0
err=$(cd /usr/share/faceprobe &&
  LD_LIBRARY_PATH=/usr/lib/x86_64-linux-gnu/faceprobe/glibc-hwcaps/x86-64-v3 \
  qemu-x86_64 -cpu Nehalem /usr/bin/faceprobe "$photo" 2>&1 >/dev/null) || status=$?
[ "$status" -eq 2 ] && grep -q "built for x86-64-v3" <<<"$err" ||
  fail "the x86-64-v3 copy forced on Nehalem: status $status, $err"
echo "qemu-x86_64: as qemu64, Nehalem and Haswell, faceprobe prints the build's records on" \
  "${#photos[@]} photos with the copy each should pick ($((SECONDS - start)) s)"
remove
"$here/scripts/test-debootstrap.sh" "$deb"

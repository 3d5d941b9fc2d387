#!/usr/bin/env bash
# The README's two commands on a machine that has nothing: a bare
# debootstrap --variant=minbase bookworm system (scripts/bare-root.sh) with
# git and a copy of the project. scripts/demo.sh there must print the record
# this build prints, and scripts/test.sh after it must pass. Prints how long
# each took, against the targets: the first record within 180 s of a bare
# system, apt included; the tests within 480 s more. Needs root.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
[ "$(id -u)" -eq 0 ] || { echo "fresh-root test: skipped, needs root"; exit 0; }
fail() { echo "fresh-root test: $*"; exit 1; }
expected=$(cd "$build/run" && ./faceprobe "$build/photos/grace_hopper.jpg" || true)
[ -n "$expected" ] || fail "this build printed no record"

. "$here/scripts/bare-root.sh"
root=$(mktemp -d)
trap 'bare_root_remove "$root"' EXIT
bare_root "$root" || fail "no bare system"
in_root "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
  --no-install-recommends git >/dev/null
# The project as a clone has it, with any change not yet committed.
mkdir "$root/root/faceprobe"
git -C "$here" ls-files -z --cached --others --exclude-standard |
  tar -C "$here" --null -T - -cf - | tar -C "$root/root/faceprobe" -xf -

verdict() {  # NAME SECONDS LIMIT
  if [ "$2" -le "$3" ]; then echo "$1: $2 s (target $3 s)"; else echo "$1: $2 s, OVER the target of $3 s"; fi
}
start=$SECONDS
in_root "$root" sh -c 'cd /root/faceprobe && scripts/demo.sh' >"$root/demo.log" 2>&1 ||
  { tail -30 "$root/demo.log"; fail "scripts/demo.sh failed"; }
demo=$((SECONDS - start))
grep -qxF "$expected" "$root/demo.log" || { tail -5 "$root/demo.log"; fail "scripts/demo.sh printed another record"; }
start=$SECONDS
in_root "$root" sh -c 'cd /root/faceprobe && scripts/test.sh' >"$root/test.log" 2>&1 ||
  { tail -40 "$root/test.log"; fail "scripts/test.sh failed"; }
tests=$((SECONDS - start))
grep -E "tests passed|tests failed" "$root/test.log"
verdict "bare system to the first record (scripts/demo.sh)" "$demo" 180
verdict "then scripts/test.sh" "$tests" 480

#!/usr/bin/env bash
# Builds the whole project with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan and runs the test suite there. Any finding fails the run:
# the programs stop at the first one with a status that no test accepts.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${SANITIZE_BUILD_DIR:-$here/build-asan}
BUILD_DIR=$build "$here/scripts/build.sh" -DFACEPROBE_SANITIZE=ON
# Leak checking is off: at exit LeakSanitizer can crash on OpenCV's worker
# threads, which are still parked in the library's pool.
export ASAN_OPTIONS=halt_on_error=1:exitcode=86:detect_leaks=0
export UBSAN_OPTIONS=halt_on_error=1:exitcode=86:print_stacktrace=1
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure

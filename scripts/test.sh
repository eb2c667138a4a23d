#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
#   scripts/test.sh                 normal build in build/
#   scripts/test.sh --sanitize address|thread [ctest -L label ...]
# Extra arguments go to ctest. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitize=""
if [ "${1:-}" = "--sanitize" ]; then
  sanitize="$2"
  shift 2
fi
build="$root/build${sanitize:+-$sanitize}"
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DQUORB_SANITIZE="$sanitize" >/dev/null
jobs=$(nproc)
cmake --build "$build" -j "$jobs"
export QT_QPA_PLATFORM=offscreen
if [ "$sanitize" = "thread" ]; then
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$root/scripts/tsan.supp"
fi
# The AddressSanitizer, LeakSanitizer and UBSan options (leak suppressions in
# scripts/lsan.supp) are set per test by tests/CMakeLists.txt, so a plain
# ctest in build-address runs the same way.
cd "$build"
ctest --output-on-failure --timeout 900 -j "$(( jobs > 4 ? 4 : jobs ))" "$@"

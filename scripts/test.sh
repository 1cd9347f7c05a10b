#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; prints CTest's summary.
#   scripts/test.sh             normal build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UBSan build in build-sanitize/;
#                               the slow test (a package over 4 GiB through every
#                               reader) runs in the normal build only
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
exclude=()

if [ "${1:-}" = "--sanitize" ]; then
  dir=build-sanitize
  bash scripts/build.sh "$dir" -DENABLE_SANITIZERS=ON -DBUILD_BENCHMARK=OFF
  export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
  export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  exclude=(-LE slow)
else
  dir=build
  bash scripts/build.sh "$dir"
fi
cd "$dir"
ctest --output-on-failure --timeout 900 "${exclude[@]}"

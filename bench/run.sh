#!/usr/bin/env bash
# Packaging benchmark: the tool's real packaging path (its MainWindow driven
# headless) against zip, python3 zipfile, 7z (one thread and every core), the
# single-core zlib-6 floor (pigz -p1 -6) and zlib-6 on every core (pigz -pN
# -6), on the same generated inputs, and the item entries' size against one
# zlib-6 stream per item; then the same items merged from the tool's own
# package as a combined item, against packing them from plain files, a raw
# copy (zip -U) and a CRC check (unzip -tq); packing cancelled at a few
# moments, timing the end of the run; peak memory over a ladder of sizes for
# packing and merging; the GUI thread's longest stall with the progress dialog
# updated from the worker every 100 ms. Each target is printed as a PASS or
# FAIL line, with the load average of the machine during the run.
#
#   bash bench/run.sh          full run: 1 GiB mixed input, 3 rounds, memory
#                              ladder 64 MiB .. 8 GiB; writes bench/results.md
#                              and bench/memory-curve.png (12 to 15 minutes
#                              on 2 cores before the peers on every core and
#                              the cancel runs came in, which add about 5 by
#                              the quick run's figures; run it on a quiet
#                              machine)
#   bash bench/run.sh --quick  64 MiB, 1 round, ladder 16 and 64 MiB; writes
#                              into the build folder only (for CI; under a
#                              minute once built)
#
# More options (--scale-mib N, --ladder-mib A,B, --repeat N, --out DIR) go to
# bench/bench.py. Inputs live in a temporary folder under $TMPDIR (or /tmp)
# and are removed at the end. The exit status is non-zero only when a run of
# the tool fails; missed timing targets are printed as FAIL lines.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BENCH_BUILD_DIR:-build-bench}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "== building into $build"
if ! bash scripts/build.sh "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DBUILD_BENCHMARK=ON >"$log" 2>&1; then
  tail -n 40 "$log"
  exit 1
fi
python3 bench/bench.py --build-dir "$build" "$@"

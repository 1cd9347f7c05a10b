#!/usr/bin/env bash
# Builds the fuzzers with clang into build-fuzz/ and runs each in turn for the
# given seconds (default 60): the raw-bytes one on the seeds, the inputs
# earlier runs found (corpus-found/) and the regression files, with the ZIP
# dictionary; the structured one on the descriptions earlier runs found
# (corpus-entries/). Inputs that add coverage go to build-fuzz/corpus/<harness>/,
# never into the repository (see merge_corpus.sh). A crash, leak, timeout or broken invariant is written
# to build-fuzz/findings/ and fails the script; make it a file in
# tests/fuzz/regressions/ once it is fixed.
#   bash tests/fuzz/run.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-60}
dir=build-fuzz
fuzz=tests/fuzz

CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_FUZZERS=ON -DBUILD_TESTING=OFF -DBUILD_BENCHMARK=OFF >/dev/null
cmake --build "$dir" --target fuzz_package_bytes fuzz_package_entries --parallel "$(nproc)" >/dev/null

findings=$dir/findings
mkdir -p "$findings"
export LSAN_OPTIONS="suppressions=$PWD/$fuzz/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
run() {
  local harness=$1
  shift
  local corpus=$dir/corpus/$harness log=$dir/$harness.log
  mkdir -p "$corpus"
  # Seed folders that a clone does not have yet (merge_corpus.sh makes them) are
  # left out; libFuzzer stops at a folder that is missing.
  local seeds=() folder
  for folder in "${seed_folders[@]}"; do
    [ -d "$folder" ] && seeds+=("$folder")
  done
  echo "== $harness, ${seconds}s"
  if ! "$dir/$fuzz/$harness" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/$harness-" -print_final_stats=1 "$@" "$corpus" \
    "${seeds[@]}" >"$log" 2>&1; then
    status=1
    grep -E "ERROR|package invariant|SUMMARY|Test unit written" "$log" || tail -20 "$log"
  fi
  # The last status line (runs, coverage, features) and the rate.
  grep -E "^#[0-9]+" "$log" | tail -1
  grep -E "stat::(number_of_executed_units|average_exec_per_sec)" "$log"
}

seed_folders=("$fuzz/corpus" "$fuzz/corpus-found" "$fuzz/regressions")
run fuzz_package_bytes -max_len=65536 -dict="$fuzz/zip.dict"
seed_folders=("$fuzz/corpus-entries")
run fuzz_package_entries -max_len=8192

if [ -n "$(ls -A "$findings")" ]; then
  echo "findings in $findings:" >&2
  ls -l "$findings" >&2
  status=1
fi
exit $status

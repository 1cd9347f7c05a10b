#!/usr/bin/env bash
# Keeps what long fuzzing runs found, minimised: the inputs of
# build-fuzz/corpus/<harness>/ that reach coverage the committed ones do not
# are added to tests/fuzz/corpus-found/ (package bytes, beyond the seeds and
# regression files) and tests/fuzz/corpus-entries/ (structured descriptions).
# Run after tests/fuzz/run.sh with a long time; commit the new files if the
# folders stay small (well under 1 MB).
#   bash tests/fuzz/merge_corpus.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=build-fuzz
fuzz=tests/fuzz
export LSAN_OPTIONS="suppressions=$PWD/$fuzz/lsan.supp:print_suppressions=0"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# libFuzzer's merge adds to its first folder what the others reach beyond it;
# the first folder starts with what is committed, so only new files are kept.
merge() {
  local harness=$1 target=$2
  shift 2
  mkdir -p "$work/$harness" "$target" "$dir/corpus/$harness"
  for folder in "$@"; do
    cp "$folder"/* "$work/$harness/" 2>/dev/null || true
  done
  ls "$work/$harness" >"$work/$harness.before"
  "$dir/$fuzz/$harness" -merge=1 -timeout=25 -rss_limit_mb=2048 "$work/$harness" \
    "$dir/corpus/$harness" >"$work/$harness.log" 2>&1
  ls "$work/$harness" | grep -vxFf "$work/$harness.before" | while read -r name; do
    cp "$work/$harness/$name" "$target/"
  done
  echo "$target: $(ls "$target" | wc -l) files, $(cat "$target"/* | wc -c) bytes"
}

merge fuzz_package_bytes "$fuzz/corpus-found" "$fuzz/corpus" "$fuzz/corpus-found" "$fuzz/regressions"
merge fuzz_package_entries "$fuzz/corpus-entries" "$fuzz/corpus-entries"

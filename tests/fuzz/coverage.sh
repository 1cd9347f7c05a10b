#!/usr/bin/env bash
# Line coverage of src/core reached by replaying the fuzzers' corpora once:
# builds the harnesses without sanitizers, with clang's source coverage, into
# build-fuzz-cov/, runs each over its corpus (build-fuzz/corpus/<harness>/,
# which tests/fuzz/run.sh fills, plus the seeds and regression files) and
# prints llvm-cov's report for the core's files.
#   bash tests/fuzz/coverage.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
dir=build-fuzz-cov
fuzz=tests/fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBUILD_FUZZERS=ON -DFUZZ_COVERAGE=ON -DBUILD_TESTING=OFF -DBUILD_BENCHMARK=OFF >/dev/null
cmake --build "$dir" --target fuzz_package_bytes fuzz_package_entries --parallel "$(nproc)" >/dev/null
rm -rf "$dir/profiles"
mkdir -p "$dir/profiles" build-fuzz/corpus/fuzz_package_bytes build-fuzz/corpus/fuzz_package_entries
LLVM_PROFILE_FILE="$PWD/$dir/profiles/bytes-%p.profraw" "$dir/$fuzz/fuzz_package_bytes" -runs=0 \
  build-fuzz/corpus/fuzz_package_bytes "$fuzz/corpus" "$fuzz/regressions" >/dev/null 2>&1
LLVM_PROFILE_FILE="$PWD/$dir/profiles/entries-%p.profraw" "$dir/$fuzz/fuzz_package_entries" \
  -runs=0 build-fuzz/corpus/fuzz_package_entries >/dev/null 2>&1
llvm-profdata-14 merge -sparse "$dir"/profiles/*.profraw -o "$dir/fuzz.profdata"
llvm-cov-14 report "$dir/$fuzz/fuzz_package_bytes" -object "$dir/$fuzz/fuzz_package_entries" \
  -instr-profile="$dir/fuzz.profdata" src/core/*/*.cpp

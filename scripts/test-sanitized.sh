#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds with clang, AddressSanitizer and UndefinedBehaviorSanitizer, runs every test, then runs
# each fuzz target for a bounded time (FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DWIREQUILL_SANITIZE=ON -DWIREQUILL_FUZZ=ON
cmake --build build-asan -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
TZ=UTC ctest --test-dir build-asan --output-on-failure -j"$(nproc)"

mkdir -p build-asan/fuzz-corpus
for target in build-asan/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  mkdir -p "build-asan/fuzz-corpus/$name"
  echo "== fuzzing $name for ${FUZZ_SECONDS:-60} s"
  "$target" -max_total_time="${FUZZ_SECONDS:-60}" -max_len=16384 -print_final_stats=1 "build-asan/fuzz-corpus/$name" fuzz/corpus/"$name"
done

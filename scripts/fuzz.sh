#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for a bounded time:
# `scripts/fuzz.sh [seconds-per-target]` (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-20}"
dir=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVISK_FUZZ=ON \
    -DCORVISK_SANITIZE="address,undefined" -DCORVISK_PYTHON=OFF -DCORVISK_TESTS=OFF > /dev/null
cmake --build "$dir" -j "$(nproc)"
for target in "$dir"/*_fuzzer; do
    name=$(basename "$target")
    corpus="fuzz/corpus/${name%_fuzzer}"
    mkdir -p "$corpus" "fuzz/out/$name"
    echo "== $name (${secs}s)"
    "$target" -max_total_time="$secs" -print_final_stats=0 "fuzz/out/$name" "$corpus" 2>&1 | tail -n 2
done

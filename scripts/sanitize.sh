#!/usr/bin/env bash
# Builds and runs the C++ tests under a sanitizer: `scripts/sanitize.sh asan` (ASan+UBSan) or
# `scripts/sanitize.sh tsan`.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-asan}" in
    asan) flags="address,undefined"; dir=build/asan ;;
    tsan) flags="thread"; dir=build/tsan ;;
    *) echo "usage: $0 asan|tsan" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCORVISK_SANITIZE="$flags" -DCORVISK_PYTHON=OFF \
      > /dev/null
cmake --build "$dir" -j "$(nproc)" --target corvisk_tests
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1"
"$dir/corvisk_tests" --gtest_brief=1 "${@:2}"

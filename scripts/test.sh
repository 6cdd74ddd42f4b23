#!/usr/bin/env bash
# Sets everything up, then runs the structure checks (scripts/check.sh: include layering and
# function length, a few seconds) and every test: the C++ unit tests (one CTest entry per test
# case; `ctest --test-dir build/cmake -R Suite` runs a subset) and the Python tests.
#   CORVISK_SLOW_TESTS=1       also run the tests marked slow (e.g. a from-scratch package install)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/check.sh
# Serial on purpose: test cases bind fixed loopback addresses and would collide in parallel.
ctest --test-dir build/cmake --output-on-failure
markers=(-m "not slow")
[ "${CORVISK_SLOW_TESTS:-0}" = 1 ] && markers=()
PATH="$PWD/build/cmake:$PATH" .venv/bin/python -m pytest -q "${markers[@]}" tests/py

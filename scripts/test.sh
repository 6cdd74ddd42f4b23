#!/usr/bin/env bash
# Sets everything up, then runs every test: the C++ unit tests and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
ctest --test-dir build/cmake --output-on-failure
PATH="$PWD/build/cmake:$PATH" .venv/bin/python -m pytest -q tests/py

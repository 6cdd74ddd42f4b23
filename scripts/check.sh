#!/usr/bin/env bash
# Structure checks a reviewer can run: include layering (base < gige < genicam) and function
# length in src/. Prints each offender as file:line and exits nonzero when there is one.
# scripts/test.sh runs it before the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/check_structure.py "$@"

#!/usr/bin/env bash
# Sets everything up, then runs the main job: the demo against the simulated camera.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
PATH="$PWD/build/cmake:$PATH" exec .venv/bin/python -m corvisk demo "$@"

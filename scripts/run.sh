#!/usr/bin/env bash
# Sets up what a user needs (the package installed into .venv by its own build: no C++ tests are
# built), then runs the main job: the demo against the simulated camera shipped in the package.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --user
exec .venv/bin/corvisk demo "$@"

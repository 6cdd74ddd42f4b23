#!/usr/bin/env bash
# Sets up everything corvisk needs on a fresh Debian machine: system packages, the .venv over
# Debian's python3, the C++ build (library, tests, simulated camera) and the installed package.
#
#   scripts/setup.sh          developer set-up: build/cmake with the tests and -Werror on, and the
#                             package installed into .venv from that tree
#   scripts/setup.sh --user   what a user gets: `pip install .` into .venv (the package's own build:
#                             Release, no tests, -Werror off, stripped), nothing else built
set -euo pipefail
cd "$(dirname "$0")/.."
mode=developer
case "${1:-}" in
    "") ;;
    --user) mode=user ;;
    *) echo "usage: $0 [--user]" >&2; exit 2 ;;
esac

PACKAGES=(build-essential cmake g++ clang clang-format libfmt-dev libxml2-dev zlib1g-dev
          libgtest-dev libbenchmark-dev python3 python3-dev python3-venv python3-pip
          python3-setuptools python3-wheel python3-pytest python3-numpy python3-pil iproute2
          chromium)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

if [ ! -x .venv/bin/python ]; then
    /usr/bin/python3 -m venv --system-site-packages .venv
fi

if [ "$mode" = user ]; then
    .venv/bin/python -m pip install -q --no-deps --disable-pip-version-check .
    exit 0
fi

BUILD_DIR="$PWD/build/cmake"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPython3_EXECUTABLE="$PWD/.venv/bin/python" > /dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
# The package's build backend packs this tree's modules and simulator instead of building its own.
CORVISK_CMAKE_BUILD_DIR="$BUILD_DIR" .venv/bin/python -m pip install -q --no-build-isolation \
    --no-deps --disable-pip-version-check .

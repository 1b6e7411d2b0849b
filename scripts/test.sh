#!/bin/sh
# Installs the dependencies, builds one preset and runs every test.
set -eu
preset="${1:-default}"
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh "$preset"
ctest --preset "$preset" -j "$(nproc)"

#!/bin/sh
# Configures and builds one preset (default: the release build).
set -eu
preset="${1:-default}"
cd "$(dirname "$0")/.."
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"

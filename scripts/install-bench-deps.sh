#!/bin/sh
# Installs what the peer comparisons need on top of scripts/install-deps.sh:
# Open3D's C++ package (the fusion peer), PCL (the registration peer) and
# matplotlib for the plot. Benchmark only; the build and the tests do not need these.
# Safe to run again: when everything is present it prints nothing.
set -eu

PACKAGES="libopen3d-dev libpcl-dev python3-matplotlib python3-numpy"

# shellcheck disable=SC2086
"$(dirname "$0")/apt-install-missing.sh" $PACKAGES

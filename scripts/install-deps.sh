#!/bin/sh
# Installs the Debian 12 packages that the build, tests, benchmarks and demo
# need. Safe to run again: when everything is present it prints nothing.
set -eu

PACKAGES="
build-essential cmake ninja-build pkg-config clang
libeigen3-dev libtbb-dev libomp-dev libnanoflann-dev libopenmesh-dev
libglew-dev libglfw3-dev libegl-dev libgl-dev libegl-mesa0 libgl1-mesa-dri
libgtest-dev libbenchmark-dev
libopencv-dev
libspng-dev libcli11-dev libopen3d-dev
pybind11-dev python3-dev python3-pytest python3-numpy python3-open3d
"

# shellcheck disable=SC2086
"$(dirname "$0")/apt-install-missing.sh" $PACKAGES

#!/bin/sh
# Installs the Debian 12 packages that the build, tests, benchmarks and demo
# need. Safe to run again: when everything is present it prints nothing.
set -eu

PACKAGES="
build-essential cmake ninja-build pkg-config clang
libeigen3-dev libtbb-dev libomp-dev libflann-dev liblz4-dev libopenmesh-dev
libglew-dev libglfw3-dev libegl-dev libgl-dev libgles-dev libegl-mesa0 libgl1-mesa-dri
libgtest-dev libgmock-dev libbenchmark-dev
libopencv-dev
"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null

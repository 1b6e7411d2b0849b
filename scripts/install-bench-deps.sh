#!/bin/sh
# Installs what the Open3D comparison needs on top of scripts/install-deps.sh:
# Open3D's C++ package (the peer, linked into the benchmark) and matplotlib
# for the plot. Benchmark only; the build and the tests do not need these.
# Safe to run again: when everything is present it prints nothing.
set -eu

PACKAGES="libopen3d-dev python3-matplotlib python3-numpy"

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

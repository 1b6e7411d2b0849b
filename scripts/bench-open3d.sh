#!/bin/sh
# Fusion against Open3D, from a clean clone: installs the dependencies,
# builds the benchmark, runs it and plots.
#   scripts/bench-open3d.sh [args]                 simulated frames: writes
#       bench/results/fusion_open3d.{md,csv,png}; args go to bench_fusion_open3d
#       (e.g. --threads 4 --noise 0 --voxels 1 --frames 10)
#   scripts/bench-open3d.sh --real [DIR] [args]    real range scans: the .conf
#       pose list in DIR (default: the bunny scans of the test data), time
#       against accuracy; writes bench/results/fusion_real.{md,csv,png}; args
#       go to bench_fusion_real (e.g. --threads 1 --repeat 5 --voxels 1,2)
set -eu
cd "$(dirname "$0")/.."
data="${TAVO_TEST_DATA_DIR:-../shared/data}"
mode=sim
conf=
if [ "${1:-}" = "--real" ]; then
  mode=real
  shift
  dir="$data/bunny-scans"
  case "${1:-}" in -*|"") ;; *) dir=$1; shift ;; esac
  conf=$(ls "$dir"/*.conf 2>/dev/null | head -n 1)
  [ -n "$conf" ] || { echo "no .conf pose list in $dir" >&2; exit 1; }
fi
scripts/install-deps.sh
scripts/install-bench-deps.sh
cmake --preset default >/dev/null
target=bench_fusion_open3d
[ "$mode" = real ] && target=bench_fusion_real
cmake --build build/default -j "$(nproc)" --target "$target"
mkdir -p bench/results
if [ "$mode" = real ]; then
  build/default/bench/bench_fusion_real --scans "$conf" --out bench/results "$@"
  # Debian's matplotlib belongs to the system interpreter.
  /usr/bin/python3 bench/plot_fusion_pareto.py bench/results/fusion_real.csv bench/results/fusion_real.png
  echo "report: bench/results/fusion_real.md, plot: bench/results/fusion_real.png"
else
  build/default/bench/bench_fusion_open3d --data "$data" --out bench/results "$@"
  /usr/bin/python3 bench/plot_fusion_open3d.py bench/results/fusion_open3d.csv bench/results/fusion_open3d.png
  echo "report: bench/results/fusion_open3d.md, plot: bench/results/fusion_open3d.png"
fi

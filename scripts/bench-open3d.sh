#!/bin/sh
# Fusion against Open3D on the same simulated frames, from a clean clone:
# installs the dependencies, builds the benchmark, runs it and plots.
# Writes bench/results/fusion_open3d.{md,csv,png}. Extra arguments go to the
# program (e.g. --threads 4 --noise 0 --voxels 1 --frames 10).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/install-bench-deps.sh
cmake --preset default >/dev/null
cmake --build build/default -j "$(nproc)" --target bench_fusion_open3d
mkdir -p bench/results
data="${TAVO_TEST_DATA_DIR:-../shared/data}"
build/default/bench/bench_fusion_open3d --data "$data" --out bench/results "$@"
# Debian's matplotlib belongs to the system interpreter.
/usr/bin/python3 bench/plot_fusion_open3d.py bench/results/fusion_open3d.csv bench/results/fusion_open3d.png
echo "report: bench/results/fusion_open3d.md, plot: bench/results/fusion_open3d.png"

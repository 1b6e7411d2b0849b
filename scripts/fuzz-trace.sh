#!/bin/sh
# Fuzzes the trace reader: builds the libFuzzer target (clang, ASan + UBSan),
# records seed traces with the release demo (send_rangeData and get_triMesh of
# simulated frames and of a bunny scan) and runs for a bounded time.
#   scripts/fuzz-trace.sh [seconds, default 60]
# Findings land in build/fuzz-trace/ as crash-*, leak-* or timeout-* files.
set -eu
seconds="${1:-60}"
jobs="${JOBS:-$(nproc)}"
cd "$(dirname "$0")/.."
data="${TAVO_DATA_DIR:-$(pwd)/../shared/data}"
work=build/fuzz-trace

cmake --preset default >/dev/null
cmake --build build/default -j "$jobs" --target fusion_demo
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVO_BUILD_FUZZ=ON -DTAVO_BUILD_TESTS=OFF -DTAVO_BUILD_BENCH=OFF -DTAVO_BUILD_APPS=OFF \
  -DTAVO_WITH_CUDA=OFF >/dev/null
cmake --build build/fuzz -j "$jobs" --target fuzz_trace_reader

rm -rf "$work"
mkdir -p "$work/corpus" "$work/rec"
record() {  # name, demo arguments...
  name="$1"
  shift
  build/default/apps/fusion_demo "$@" --record "$work/rec/$name" --output "$work/rec/$name.ply" >/dev/null
  for f in "$work/rec/$name"/*.tb; do cp "$f" "$work/corpus/$name-$(basename "$f")"; done
}
record sim-32 --sim-camera 32x24 --voxel 0.004
record sim-64 --sim-camera 64x48 --voxel 0.002 --step 2
if [ -f "$data/bunny-scans/bun000.ply" ]; then
  mkdir -p "$work/rec/bunny-scan"
  ln -sf "$(cd "$data/bunny-scans" && pwd)/bun000.ply" "$work/rec/bunny-scan/bun000.ply"
  printf 'camera 0 0 0 0 0 0 1\nbmesh bun000.ply 0 0 0 0 0 0 1\n' >"$work/rec/bunny-scan/one.conf"
  record bunny "$work/rec/bunny-scan/one.conf" --voxel 0.002
fi
ls -l "$work/corpus"

# The bunny seed is cut to max_len; the simulated ones fit whole.
build/fuzz/tests/fuzz/fuzz_trace_reader "$work/corpus" -max_total_time="$seconds" -max_len=262144 \
  -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$work/"

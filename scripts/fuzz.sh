#!/bin/sh
# Fuzzes every reader of outside files: builds the libFuzzer targets (clang,
# ASan + UBSan), seeds each from real files (the bunny scans and reference,
# meshes and trace recordings written by the release demo, a printed
# calibration file) and runs the targets one after another for a given time
# each, then prints runs, coverage and peak memory per target.
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
# Targets: trace_reader range_scan pose_list calibration mesh_ply mesh_obj
# mesh_off mesh_stl (default: all). Findings land in build/fuzz-run/<target>/
# as crash-*, leak-*, oom-* or timeout-* files; the log of each run is
# build/fuzz-run/<target>/log.txt.
set -eu
seconds="${1:-60}"
[ $# -gt 0 ] && shift
targets="${*:-trace_reader range_scan pose_list calibration mesh_ply mesh_obj mesh_off mesh_stl}"
jobs="${JOBS:-$(nproc)}"
cd "$(dirname "$0")/.."
data="${TAVO_DATA_DIR:-$(pwd)/../shared/data}"
bunny="$data/bunny-scans"
run=build/fuzz-run
seeds=$run/seeds

cmake --preset default >/dev/null
cmake --build build/default -j "$jobs" --target fusion_demo
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVO_BUILD_FUZZ=ON -DTAVO_BUILD_TESTS=OFF -DTAVO_BUILD_BENCH=OFF -DTAVO_BUILD_APPS=OFF \
  -DTAVO_WITH_CUDA=OFF >/dev/null
fuzzers=""
for t in $targets; do fuzzers="$fuzzers fuzz_$t"; done
# shellcheck disable=SC2086
cmake --build build/fuzz -j "$jobs" --target write_trace_seed $fuzzers

rm -rf "$seeds"
mkdir -p "$seeds/trace_reader" "$seeds/range_scan" "$seeds/pose_list" "$seeds/calibration" \
  "$seeds/mesh_ply" "$seeds/mesh_obj" "$seeds/mesh_off" "$seeds/mesh_stl" "$seeds/rec"
demo=build/default/apps/fusion_demo

# Trace recordings of simulated frames and of a bunny scan, and one
# recording of every recorded type; the fused meshes in every format.
record() {  # name, demo arguments...
  name="$1"
  shift
  "$demo" "$@" --record "$seeds/rec/$name" --output "$seeds/rec/$name.ply" >/dev/null
  for f in "$seeds/rec/$name"/*.tb; do cp "$f" "$seeds/trace_reader/$name-$(basename "$f")"; done
}
record sim-32 --sim-camera 32x24 --voxel 0.004
record sim-64 --sim-camera 64x48 --voxel 0.002 --step 2
build/fuzz/tests/fuzz/write_trace_seed "$seeds/trace_reader/every-type.tb"
for ext in ply obj off stl; do
  "$demo" --sim-camera 32x24 --voxel 0.02 --output "$seeds/mesh_$ext/fused.$ext" >/dev/null
done
printf 'v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\ng side\nf 1/1/1 2/1/1 -2//1 -1\n' \
  >"$seeds/mesh_obj/quad.obj"
printf 'COFF\n# square\n4 1 0\n0 0 0 255 0 0 255\n1 0 0 255 0 0 255\n1 1 0 255 0 0 255\n0 1 0 255 0 0 255\n4 0 1 2 3\n' \
  >"$seeds/mesh_off/quad.off"
printf 'solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 1 1 0\nendloop\nendfacet\nendsolid t\n' \
  >"$seeds/mesh_stl/tri.stl"

# Crops of a real scan in every PLY encoding, the real pose list, the bunny
# reference decimated by the demo, a printed calibration file.
if [ -f "$bunny/bun000.ply" ]; then
  mkdir -p "$seeds/rec/bunny-scan"
  ln -sf "$(cd "$bunny" && pwd)/bun000.ply" "$seeds/rec/bunny-scan/bun000.ply"
  printf 'camera 0 0 0 0 0 0 1\nbmesh bun000.ply 0 0 0 0 0 0 1\n' >"$seeds/rec/bunny-scan/one.conf"
  record bunny "$seeds/rec/bunny-scan/one.conf" --voxel 0.004
  cp "$bunny/bun.conf" "$seeds/pose_list/bun.conf"
  "$demo" "$bunny/bun.conf" --voxel 0.02 --output "$seeds/mesh_ply/bunny.ply" >/dev/null
  /usr/bin/python3 - "$bunny/bun000.ply" "$seeds/range_scan" <<'PY'
import struct, sys
src, out = sys.argv[1], sys.argv[2]
lines = open(src).read().split("\n")
end = lines.index("end_header")
info = {l.split()[1]: int(l.split()[2]) for l in lines[:end] if l.startswith("obj_info num_")}
nv = int(next(l.split()[2] for l in lines[:end] if l.startswith("element vertex")))
cols, rows = info["num_cols"], info["num_rows"]
verts = [l.split()[:3] for l in lines[end + 1:end + 1 + nv]]
grid = [l.split() for l in lines[end + 1 + nv:end + 1 + nv + cols * rows]]
# The densest 24 x 16 block of cells, renumbered.
r0, c0, w, h = 200, 240, 24, 16
keep, cells = [], []
for r in range(r0, r0 + h):
    for c in range(c0, c0 + w):
        g = grid[r * cols + c]
        if g[0] == "1":
            cells.append([len(keep)])
            keep.append(verts[int(g[1])])
        else:
            cells.append([])
def header(fmt):
    return ("ply\nformat %s 1.0\nobj_info num_cols %d\nobj_info num_rows %d\nelement vertex %d\n"
            "property float x\nproperty float y\nproperty float z\nelement range_grid %d\n"
            "property list uchar int vertex_indices\nend_header\n" % (fmt, w, h, len(keep), w * h)).encode()
with open(out + "/crop-ascii.ply", "wb") as f:
    f.write(header("ascii"))
    f.write("".join(" ".join(v) + "\n" for v in keep).encode())
    f.write("".join(("1 %d\n" % c[0]) if c else "0\n" for c in cells).encode())
for fmt, e in (("binary_little_endian", "<"), ("binary_big_endian", ">")):
    with open(out + "/crop-%s.ply" % fmt, "wb") as f:
        f.write(header(fmt))
        for v in keep:
            f.write(struct.pack(e + "3f", *map(float, v)))
        for c in cells:
            f.write(struct.pack(e + "Bi", 1, c[0]) if c else struct.pack("B", 0))
PY
fi
printf 'bmesh a.ply 0 0 0 0 0 0 1\ncamera 0.1 0 -0.2 0 0 0.7071068 0.7071068\r\n# note\nbmesh a.ply 1e-3 2 3 0.5 0.5 0.5 0.5\n' \
  >"$seeds/pose_list/small.conf"
printf 'Focal Length:          fc = [%s %s]\n                            [%s %s]\nPrincipal point:       cc = [%s %s]\n                            [%s %s\n\n]alpha:              alpha = [%s] [%s]\nDistortion:            kc = [%s %s %s %s %s]\n                            [%s %s %s %s %s]\nTranslation vector:     T = [%s %s %s]\nRotation Matrix:        R = [%s %s %s %s %s %s %s %s %s]\nStandard Error:     error = [%s]\n' \
  1200.5 1201.25 0.5 0.5 640.125 480.75 0.25 0.25 0.001 0.0001 -0.125 0.0625 0.001 -0.002 0.03125 \
  0.01 0.01 0.001 0.001 0.01 -100.5 2.25 350.0 1 0 0 0 1 0 0 0 1 0.15 >"$seeds/calibration/printed.txt"

summary=""
for t in $targets; do
  work="$run/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus"
  max_len=65536
  [ "$t" = trace_reader ] && max_len=262144  # the recorded simulated frames fit whole
  set +e
  "build/fuzz/tests/fuzz/fuzz_$t" "$work/corpus" "$seeds/$t" -max_total_time="$seconds" -max_len="$max_len" \
    -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 -artifact_prefix="$work/" \
    >"$work/log.txt" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt")
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$work/log.txt")
  cov=$(grep -E '^#[0-9]+' "$work/log.txt" | tail -1 | sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/\1 edges, \2 features/p')
  findings=$(find "$work" -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' -o -maxdepth 1 -name 'oom-*' \
    -o -maxdepth 1 -name 'timeout-*' | wc -l)
  line="$t: exit $rc, ${runs:-?} runs, coverage ${cov:-?}, peak ${rss:-?} MB, $findings findings"
  echo "$line"
  summary="$summary$line
"
done
printf '\n%s' "$summary"

#!/bin/sh
# On a machine with a CUDA device: builds with the CUDA back end and runs the
# kernel, coverage-volume and renderer tests there (the library then picks
# CUDA), plus the CPU/CUDA parity tests, and the renderer benchmark.
set -eu
cd "$(dirname "$0")/.."
nvidia-smi -L || true
cmake --preset default -DTAVO_WITH_CUDA=ON >/dev/null
cmake --build --preset default -j"$(nproc)" --target gpu_kernel_tests gpu_parity_tests emulate_binocular_tests bench_emulate_binocular
build/default/tests/common/gpu_parity_tests
build/default/tests/common/gpu_kernel_tests
build/default/tests/AutoScan/emulate_binocular_tests
timeout 300 build/default/bench/bench_emulate_binocular || true

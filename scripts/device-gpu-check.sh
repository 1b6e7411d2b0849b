#!/bin/sh
# On a machine with a CUDA device: builds with the CUDA back end and runs the
# kernel, coverage-volume, renderer and planning-base tests there (the library
# then picks CUDA), the CPU/CUDA parity tests, and the renderer benchmark.
#
# The renderer's images reach the kernels through CUDA-OpenGL interop only
# when OpenGL runs on the NVIDIA driver: the EGL loader packages (carried in
# .gl, see the device notes) are unpacked first, and NVIDIA's EGL vendor file
# is named when the driver brings one. The RenderbufferImage and GLBufferView
# tests then fail if CUDA refuses NVIDIA's OpenGL objects; on any other OpenGL
# the copies serve instead.
set -eu
cd "$(dirname "$0")/.."
nvidia-smi -L || true
if [ -d .gl ]; then
  for f in .gl/*.deb; do dpkg -x "$f" /; done
  ldconfig
fi
for v in /usr/local/nvidia/share/glvnd/egl_vendor.d/10_nvidia.json /usr/share/glvnd/egl_vendor.d/10_nvidia.json; do
  if [ -f "$v" ]; then export __EGL_VENDOR_LIBRARY_FILENAMES="$v"; break; fi
done
# A bare device machine lacks the build's libraries: they travel as the
# Debian packages of scripts/install-deps.sh in .deps (apt-get download) and
# are unpacked under a prefix of their own, not over the system.
if [ -d .deps ]; then
  deps=/opt/tavo-deps lib=/opt/tavo-deps/usr/lib/x86_64-linux-gnu
  for f in .deps/*.deb; do dpkg -x "$f" "$deps"; done
  export CMAKE_PREFIX_PATH="$deps/usr" CPATH="$deps/usr/include:$deps/usr/include/eigen3" LIBRARY_PATH="$lib" \
    LD_LIBRARY_PATH="$lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
fi
cmake --preset default -DTAVO_WITH_CUDA=ON >/dev/null
cmake --build --preset default -j"$(nproc)" --target gpu_kernel_tests gpu_parity_tests emulate_binocular_tests \
  auto_scan_tests dental_scan_tests bench_emulate_binocular bench_dental_planning
build/default/tests/common/gpu_parity_tests
build/default/tests/common/gpu_kernel_tests
build/default/tests/AutoScan/emulate_binocular_tests
build/default/tests/AutoScan/auto_scan_tests
build/default/tests/AutoScan/dental_scan_tests
timeout 300 build/default/bench/bench_emulate_binocular || true
# The dental planning step (468 candidates) on 20k / 100k / 200k faces; goal under 0.5 s on the GPU.
timeout 240 build/default/bench/bench_dental_planning || true

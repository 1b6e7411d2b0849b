// CUDA back end: one generic kernel per cell type over the cell's extent,
// 16 x 16 x 4 threads per block (16 x 16 for flat extents).
#include <cuda_runtime.h>

#include "common/gpu/cell_launch.h"

namespace TavoGPUAlgorithm::cuda_backend {
namespace {

template <class Cell>
__global__ void cell_kernel(Cell cell) {
  const int x = blockIdx.x * blockDim.x + threadIdx.x;
  const int y = blockIdx.y * blockDim.y + threadIdx.y;
  const int z = blockIdx.z * blockDim.z + threadIdx.z;
  cell(x, y, z);
}

template <class Cell>
void launch(const Cell& cell) {
  const Dim3i e = cell.extent();
  if (e.x <= 0 || e.y <= 0 || e.z <= 0) return;
  const unsigned tz = e.z > 1 ? 4u : 1u;
  const dim3 threads(16, 16, tz);
  const dim3 blocks((e.x + 15) / 16, (e.y + 15) / 16, (e.z + tz - 1) / tz);
  cell_kernel<<<blocks, threads>>>(cell);
  cudaDeviceSynchronize();
}

}  // namespace

bool device_usable() {
  static const bool usable = [] {
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess || count <= 0) {
      cudaGetLastError();  // a failed probe must not look like a kernel error later
      return false;
    }
    // A card below the built architectures is counted but runs no kernel:
    // only a launch that really adds up chooses this back end.
    int* counter = nullptr;
    bool ran = false;
    if (cudaMalloc(&counter, sizeof(int)) == cudaSuccess && cudaMemset(counter, 0, sizeof(int)) == cudaSuccess) {
      launch(SampleTestCell{counter});
      int seen = 0;
      ran = cudaGetLastError() == cudaSuccess &&
            cudaMemcpy(&seen, counter, sizeof(int), cudaMemcpyDeviceToHost) == cudaSuccess &&
            seen == kSampleTestSide * kSampleTestSide;
    }
    if (counter != nullptr) cudaFree(counter);
    cudaGetLastError();
    return ran;
  }();
  return usable;
}

#define TAVO_DEFINE_RUN(T) \
  void run(const T& cell) { launch(cell); }
TAVO_FOR_EACH_CELL_TYPE(TAVO_DEFINE_RUN)
#undef TAVO_DEFINE_RUN

}  // namespace TavoGPUAlgorithm::cuda_backend

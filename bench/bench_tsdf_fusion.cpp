// Timing of range-frame fusion: simulated 640 x 480 frames of a bunny-sized
// object (150 mm across, millimetre units) at 1 mm voxels. Prints, per frame,
// integration and incremental extraction times and the voxels the frame made
// dirty, then a full re-extraction of the whole volume for comparison, bytes
// per voxel and the peak resident memory.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "RangeSimulator.h"
#include "fusion/RangeFrameLists.h"
#include "fusion/TsdfVolume.h"

using namespace TavoAlgorithm;

namespace {
constexpr float kVoxelMm = 1.f;
constexpr float kObjectRadiusMm = 75.f;
constexpr float kCameraDistanceMm = 400.f;
constexpr int kFrames = 12;

double ms_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

int used_voxels(const TsdfVolume& v) {
  int n = 0;
  for (int i = 0; i < v.octree().leaf_slots_in_use(); ++i) n += v.octree().element_at(i).is_used() ? 1 : 0;
  return n;
}
}  // namespace

int main() {
  sim::Scene scene;
  scene.meshes.emplace_back(sim::make_lumpy_sphere(Eigen::Vector3f::Zero(), kObjectRadiusMm, 0.15f, 5));
  const sim::Camera cam = sim::vga_camera();
  auto t0 = std::chrono::steady_clock::now();
  const std::vector<RangeData> frames =
      sim::orbit_frames(scene, cam, kFrames, Eigen::Vector3f::Zero(), kCameraDistanceMm, 80.f);
  std::printf("simulated %d frames of 640 x 480 in %.0f ms\n", kFrames, ms_since(t0));

  TsdfVolume vol(kTsdfDefaultDepth, kVoxelMm);
  RangeFrameLists lists;
  std::printf("%5s %8s %12s %12s %14s %12s\n", "frame", "points", "integrate_ms", "extract_ms", "voxels_dirty",
              "voxels_total");
  for (int i = 0; i < kFrames; ++i) {
    lists.send_rangeData(&frames[static_cast<std::size_t>(i)], RigidMatrix(), false, false);
    t0 = std::chrono::steady_clock::now();
    lists.add_to_tsdf(vol);
    const double integrateMs = ms_since(t0);
    const std::size_t dirty = vol.dirty_count();
    t0 = std::chrono::steady_clock::now();
    vol.extract();
    const double extractMs = ms_since(t0);
    std::printf("%5d %8d %12.1f %12.1f %14zu %12d\n", i, frames[static_cast<std::size_t>(i)].get_vn(), integrateMs,
                extractMs, dirty, used_voxels(vol));
  }
  // One more frame, a repeat of the first view: touches a fraction of the volume.
  lists.send_rangeData(&frames[0], RigidMatrix(), false, false);
  lists.add_to_tsdf(vol);
  const std::size_t oneFrameDirty = vol.dirty_count();
  t0 = std::chrono::steady_clock::now();
  vol.extract();
  const double oneFrameMs = ms_since(t0);
  // The same extraction over every voxel.
  for (int i = 0; i < vol.octree().leaf_slots_in_use(); ++i)
    if (vol.octree().element_at(i).is_used()) vol.mark_dirty(vol.octree().element_at(i).get_cell());
  const std::size_t allDirty = vol.dirty_count();
  t0 = std::chrono::steady_clock::now();
  vol.extract();
  const double allMs = ms_since(t0);
  std::printf("incremental extraction after one frame: %.1f ms for %zu dirty voxels\n", oneFrameMs, oneFrameDirty);
  std::printf("extraction of the whole volume:         %.1f ms for %zu voxels\n", allMs, allDirty);
  const int voxels = used_voxels(vol);
  const double leafBytes = static_cast<double>(sizeof(grid::LeafElement<TsdfVoxel>));
  const double blockBytes = static_cast<double>(vol.octree().leaf_block_count()) * (1 << 20) * leafBytes;
  std::printf("voxels %d, leaf element %.0f bytes, leaf blocks %.1f MiB (%.0f bytes per used voxel)\n", voxels,
              leafBytes, blockBytes / (1 << 20), blockBytes / voxels);
  std::printf("mesh: %d vertex ids, %d face ids\n", vol.get_vertex_counter(), vol.get_face_counter());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident memory %.1f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
  return 0;
}

#include "FusionOptions.h"

#include <limits>

#include "AppOptions.h"
#include "fusion/TsdfVolume.h"

namespace TavoAlgorithm::apps {

namespace {
constexpr float kNoClipping = -std::numeric_limits<float>::max();
}

DentalFusionMeshParam default_fusion_param() {
  DentalFusionMeshParam p;
  p.voxelSize = kDefaultVoxel;
  p.sampleStep = 0;
  p.clipZ = kNoClipping;
  return p;
}

bool clips(const DentalFusionMeshParam& param) { return param.clipZ != kNoClipping; }

void add_fusion_options(CLI::App& app, DentalFusionMeshParam& param) {
  app.add_option("--voxel", param.voxelSize, "voxel edge in metres (default 0.001 m = 1 mm)")
      ->transform(float_in(kMinVoxel, kMaxVoxel, "m"));
  app.add_option("--step", param.sampleStep, "frame sampling grid step in cells, 0 = every point (default 0)")
      ->transform(int_in(0, kMaxSampleStep));
  app.add_option("--clip-z", param.clipZ, "drop points whose world z is below this height in metres (default: none)")
      ->transform(float_in(-kMaxClipHeight, kMaxClipHeight, "m"));
}

std::string outside_points_note(const FusionMeshHelper& helper) {
  const TsdfVolume* volume = helper.volume();
  if (volume == nullptr || volume->get_outside_point_count() == 0) return {};
  const grid::GridFrame& g = volume->grid_frame();
  const int usable = g.size() - 2 * g.border;
  return std::to_string(volume->get_outside_point_count()) +
         " points fell outside the volume and were dropped: its usable cells span " + std::to_string(usable) +
         " voxels = " + number(static_cast<double>(usable) * g.cellSize) +
         " m a side about the first frame's centre (a coarser --voxel takes in more)";
}

std::string integrated_points_note(const FusionMeshHelper& helper, long long sent, int sampleStep) {
  const TsdfVolume* volume = helper.volume();
  const long long integrated = volume == nullptr ? 0 : volume->integrated_point_count();
  return "integrated " + std::to_string(integrated) + " of " + std::to_string(sent) + " points" +
         (sampleStep != 0 ? " (sample step " + std::to_string(sampleStep) + ")" : std::string());
}

}  // namespace TavoAlgorithm::apps

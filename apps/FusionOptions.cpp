#include "FusionOptions.h"

#include <limits>

#include "AppOptions.h"

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

}  // namespace TavoAlgorithm::apps

// Uses the exported headers and library as an application would.
#include <cstdio>

#include "AutoScanHelper.h"
#include "FusionMeshHelper.h"

int main() {
  TavoAlgorithm::FusionMeshHelper helper;
  TavoAlgorithm::BaseTriMesh mesh;
  std::printf("refused before set_param: %d\n", static_cast<int>(helper.get_triMesh(mesh)));
  TavoAlgorithm::AutoScanHelper planner;
  std::printf("no model yet: %d\n", static_cast<int>(planner.set_voxel_bbox(TavoAlgorithm::BoundingBox())));
  return 0;
}

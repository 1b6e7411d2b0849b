// Uses the exported headers and library as an application would.
#include <cstdio>

#include "FusionMeshHelper.h"

int main() {
  TavoAlgorithm::FusionMeshHelper helper;
  TavoAlgorithm::BaseTriMesh mesh;
  std::printf("refused before set_param: %d\n", static_cast<int>(helper.get_triMesh(mesh)));
  return 0;
}

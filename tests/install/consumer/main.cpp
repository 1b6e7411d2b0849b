// Uses the installed headers and library as an application would: fusion and
// laser only, nothing that renders.
#include <cstdio>
#include <cstring>
#include <vector>

#include <TavoAlgorithm/FusionMeshHelper.h>
#include <TavoAlgorithm/RealTimeFusionCloudHelper.h>
#include <TavoAlgorithm/TavoVersion.h>

int main() {
  TavoAlgorithm::FusionMeshHelper helper;
  TavoAlgorithm::BaseTriMesh mesh;
  std::printf("refused before set_param: %d\n", static_cast<int>(helper.get_triMesh(mesh)));
  // A crossed pair of laser lines on a plane 100 mm in front of the scanner,
  // swept along x in five frames.
  TavoAlgorithm::RealTimeFusionCloudHelper laser(0.5f, 1.0f, 3.0f, false);
  std::vector<TavoAlgorithm::Cloud> lines(2);
  for (int i = -50; i <= 50; ++i) {
    lines[0].add_vCoord(Eigen::Vector3f(0.25f * i, 0.f, 100.f));
    lines[1].add_vCoord(Eigen::Vector3f(0.f, 0.25f * i, 100.f));
  }
  int fused = 0;
  for (int k = 0; k < 5; ++k)
    fused |= static_cast<int>(laser.fusion_one_laser(
        lines, TavoAlgorithm::RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(0.25 * k, 0, 0))));
  std::vector<int> changed;
  const int points = laser.get_cloud(changed).get_vn();
  std::printf("laser frame: %d, points %s\n", fused, points > 0 && !changed.empty() ? "out" : "missing");
  const bool same = std::strcmp(TavoAlgorithm::library_version(), TAVO_VERSION_STRING) == 0;
  std::printf("library %s, headers %s: %s\n", TavoAlgorithm::library_version(), TAVO_VERSION_STRING,
              same ? "same" : "differ");
  return same ? 0 : 1;
}

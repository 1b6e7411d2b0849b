// Demo: reads range frames (a ".conf" pose list of PLY range scans given on the
// command line, or a built-in synthetic scene) and reports what was read.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "RangeSimulator.h"
#include "geometry/RangeDataHelpers.h"
#include "geometry/RangeScanIO.h"

using namespace TavoAlgorithm;

namespace {
std::vector<RangeData> builtin_frames() {
  sim::Scene scene;
  scene.spheres.push_back({Eigen::Vector3f(0.f, 0.f, 0.f), 0.05f});
  sim::Box box;
  box.pose.set_translation(Eigen::Vector3d(0.0, -0.06, 0.0));
  box.halfExtent = Eigen::Vector3f(0.08f, 0.01f, 0.08f);
  scene.boxes.push_back(box);
  sim::Camera cam;
  return sim::orbit_frames(scene, cam, 8, Eigen::Vector3f::Zero(), 0.3f, 0.1f);
}
}  // namespace

int main(int argc, char** argv) {
  std::vector<RangeData> frames;
  if (argc > 1) {
    if (read_range_scans(argv[1], frames) != RETVAL_SUCCESS) return 1;
    std::cout << "read " << frames.size() << " scans from " << argv[1] << std::endl;
  } else {
    frames = builtin_frames();
    std::cout << "built-in scene: " << frames.size() << " synthetic frames" << std::endl;
  }
  std::size_t points = 0, faces = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const RangeData& f = frames[i];
    Eigen::MatrixXi map;
    create_vertices_index_map(f, map);
    std::vector<char> border;
    RangeData_get_point_bd(f, map, 2, border);
    BaseTriMesh mesh;
    RangeData_convert_to_BaseTriMesh(f, mesh);
    int borderCount = 0;
    for (char b : border) borderCount += b;
    const Eigen::Vector3d t = f.get_rigidMatrix().get_translation();
    std::printf("frame %zu: %d points on %d x %d cells, %d border, %d faces, pose t = (%.4f %.4f %.4f)\n",
                i, f.get_vn(), f.get_rows(), f.get_cols(), borderCount, mesh.get_fn(), t.x(),
                t.y(), t.z());
    points += f.get_vn();
    faces += mesh.get_fn();
  }
  std::printf("total: %zu points, %zu grid faces\n", points, faces);
  return 0;
}

// Writes a trace of every recorded type, filled with small values, as a seed
// of the trace reader's fuzz target:  write_trace_seed <file>
#include <iostream>

#include "trace_all_types.h"

using namespace TavoAlgorithm;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: write_trace_seed <file>\n";
    return 2;
  }
  fuzz::AllTraceTypes t;
  t.flag = true;
  t.number = 1.5f;
  t.count = -3;
  t.byte = 7;
  t.wide = 1ull << 40;
  t.image.resize(2, 3);
  for (Eigen::Index i = 0; i < t.image.size(); ++i) t.image.data()[i] = Color3b(1, 2, static_cast<std::uint8_t>(i));
  t.pose = RigidMatrix(Eigen::Matrix3d::Identity(), Eigen::Vector3d(1, 2, 3));
  t.box = BoundingBox(Eigen::Vector3f(-1, -1, -1), Eigen::Vector3f(1, 1, 1));
  for (int i = 0; i < 4; ++i) t.cloud.add_vCoord(Eigen::Vector3f(i, 0, 1));
  t.cloud.enable_vNormal();
  t.cloud.enable_vFlag();
  t.frame.set_grid_size(2, 2);
  for (int i = 0; i < 3; ++i) t.frame.set_cellVertex(i / 2, i % 2, t.frame.add_vCoord(Eigen::Vector3f(i, 1, 1)));
  t.frame.enable_vFlag();
  for (int i = 0; i < 3; ++i) t.mesh.add_vCoord(Eigen::Vector3f(i, i % 2, 0));
  t.mesh.set_faces({{0, 1, 2}});
  t.mesh.enable_fFlag();
  t.frames = {&t.frame, &t.frame};
  t.poses = {t.pose};
  t.ids = {1, 2, 3};
  t.clouds = {t.cloud};
  t.weights = {{1.f, 0.5f}, {}};
  t.marks = {{true, false, true}, std::vector<bool>(9, true)};
  t.normals = {{Eigen::Vector3f::UnitZ()}};
  t.cloudLists = {{t.cloud}, {}};
  ArchiveWriter w;
  fuzz::add_all(w, static_cast<const fuzz::AllTraceTypes&>(t));
  auto file = std::make_shared<ofsCapture>(argv[1]);
  WriteAble out(file);
  if (!file->is_open() || !w.write_file(out)) {
    std::cerr << "cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}

#include "ScanSetMm.h"

#include "geometry/RangeDataHelpers.h"
#include "geometry/RangeScanIO.h"

namespace TavoAlgorithm::sim {

namespace {
constexpr float kMmPerMetre = 1000.f;
// Normal fit window and border smoothing radius, in grid cells.
constexpr int kBorderBand = 4, kFitRadius = 2, kSmoothRadius = 3;
}  // namespace

RetVal read_range_scans_mm(const std::string& confPath, std::vector<RangeData>& frames) {
  std::vector<RangeData> read;
  if (const RetVal r = read_range_scans(confPath, read); r != RETVAL_SUCCESS) return r;
  for (RangeData& f : read) {
    for (int i = 0; i < f.get_vn(); ++i) f.set_vCoord(i, f.get_vCoord(i) * kMmPerMetre);
    RigidMatrix pose = f.get_rigidMatrix();
    pose.set_translation(pose.get_translation() * kMmPerMetre);
    f.set_rigidMatrix(pose);
    Eigen::MatrixXi map;
    create_vertices_index_map(f, map);
    std::vector<char> border;
    RangeData_get_point_bd(f, map, kBorderBand, border);
    std::vector<Eigen::Vector3f> normals;
    RangeData_get_smooth_bd_point_normal(f, map, border, kFitRadius, kSmoothRadius, normals);
    f.enable_vNormal();
    for (int i = 0; i < f.get_vn() && i < static_cast<int>(normals.size()); ++i) f.set_vNrv(i, normals[i]);
  }
  frames = std::move(read);
  return RETVAL_SUCCESS;
}

PlacedPoints placed_points(const RangeData& frame) {
  PlacedPoints out;
  const RigidMatrix& pose = frame.get_rigidMatrix();
  for (int k = 0; k < frame.get_vn(); ++k) {
    if (frame.get_vDeleted(k)) continue;
    out.points.push_back(pose * frame.get_vCoord(k));
    out.normals.push_back(frame.has_vNormal() ? pose.transform_normal(frame.get_vNrv(k)) : Eigen::Vector3f::Zero());
    out.centroid += out.points.back().cast<double>();
  }
  if (!out.points.empty()) out.centroid /= static_cast<double>(out.points.size());
  return out;
}

}  // namespace TavoAlgorithm::sim

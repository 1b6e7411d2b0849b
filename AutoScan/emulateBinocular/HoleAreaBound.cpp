#include "AutoScan/emulateBinocular/HoleAreaBound.h"

#include <algorithm>

#include "common/gpu/gpu_types.h"

namespace TavoAlgorithm {

using namespace TavoGPUAlgorithm;

std::vector<ValuedFace> valued_hole_faces(const BaseTriMesh& mesh, const std::vector<int>& holeFaceMask,
                                          const HostVoxelGrid& grid) {
  std::vector<ValuedFace> out;
  if (!(grid.edge > 0.f)) return out;
  const Dim3i voxelDims{grid.dims[0], grid.dims[1], grid.dims[2]};
  const Dim3i bd = block_dims_of(voxelDims);
  const auto& coords = mesh.get_vCoords();
  const auto& faces = mesh.get_faces();
  const int n = std::min(static_cast<int>(faces.size()), static_cast<int>(holeFaceMask.size()) * 32);
  for (int f = 0; f < n; ++f) {
    if (((holeFaceMask[f / 32] >> (f % 32)) & 1) == 0) continue;
    ValuedFace v;
    bool inside = true;
    for (int k = 0; k < 3; ++k) {
      const int i = faces[f][k];
      if (i < 0 || i >= static_cast<int>(coords.size())) inside = false;
      else v.corner[k] = coords[i];
    }
    if (!inside) continue;
    // The same voxel as the pixel kernel's: truncated centroid offset.
    const Eigen::Vector3f centroid = (v.corner[0] + v.corner[1] + v.corner[2]) / 3.f;
    int q[3];
    for (int k = 0; k < 3 && inside; ++k) {
      const float t = (centroid[k] - grid.origin[k]) / grid.edge;
      inside = t > -1.f && t < static_cast<float>(grid.dims[k]);
      if (inside) q[k] = static_cast<int>(t);
      inside = inside && q[k] < grid.dims[k];
    }
    if (!inside) continue;
    const int block = linear_index(bd, q[0] / kBlockEdge, q[1] / kBlockEdge, q[2] / kBlockEdge);
    if (block < 0 || block >= static_cast<int>(grid.blockTable.size())) continue;
    const int slot = grid.blockTable[block];
    if (slot < kBlockWithoutStorage) continue;
    if (slot >= 0) {
      const std::size_t at = static_cast<std::size_t>(slot) * kVoxelsPerBlock + local_offset(q[0], q[1], q[2]);
      v.value = at < grid.values.size() ? grid.values[at] : 0.f;
    } else {
      v.value = 1.f;  // a block not stored yet scores as new
    }
    if (v.value > 0.f) out.push_back(v);
  }
  return out;
}

float hole_area_bound(const std::vector<ValuedFace>& faces, const std::array<float, 16>& mvp, int width,
                      int height) {
  const Eigen::Map<const Eigen::Matrix4f> m(mvp.data());
  double sum = 0.0;
  for (const ValuedFace& f : faces) {
    Eigen::Vector2f w[3];
    bool front = true;
    bool anyInside = false;
    for (int k = 0; k < 3 && front; ++k) {
      const Eigen::Vector4f c = m * f.corner[k].homogeneous();
      if (!(c.w() > 0.f)) front = false;
      if (!front) break;
      const Eigen::Vector3f ndc = c.head<3>() / c.w();
      w[k] = Eigen::Vector2f((ndc.x() * 0.5f + 0.5f) * width, (ndc.y() * 0.5f + 0.5f) * height);
      anyInside = anyInside || (ndc.cwiseAbs().maxCoeff() <= 1.f);
    }
    if (!front) continue;
    const Eigen::Vector2f a = w[1] - w[0], b = w[2] - w[0];
    const float area = 0.5f * (a.x() * b.y() - a.y() * b.x());
    if (!(area > 0.f)) continue;
    // A face wholly outside the image may still cross it; only its box decides.
    if (!anyInside) {
      const Eigen::Vector2f lo = w[0].cwiseMin(w[1]).cwiseMin(w[2]), hi = w[0].cwiseMax(w[1]).cwiseMax(w[2]);
      if (hi.x() < 0.f || hi.y() < 0.f || lo.x() > width || lo.y() > height) continue;
    }
    sum += static_cast<double>(f.value) * area;
  }
  return static_cast<float>(sum * (1.0 + kAreaBoundMargin));
}

}  // namespace TavoAlgorithm

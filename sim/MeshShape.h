#pragma once
// MeshShape: a triangle mesh for the range simulator, with a uniform grid over
// its triangles so that a 640 x 480 frame casts in reasonable time. Faces
// marked deleted are ignored. The mesh is copied in and never changes.
#include <Eigen/Core>
#include <vector>

#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm::sim {

class MeshShape {
 public:
  // cellsPerAxis <= 0 picks about one cell per few triangles.
  explicit MeshShape(const BaseTriMesh& mesh, int cellsPerAxis = 0);

  // Nearest hit along a ray (unit direction) with t > 0; the normal is the
  // face's geometric normal from its corner order.
  bool intersect(const Eigen::Vector3f& origin, const Eigen::Vector3f& dir, float& t,
                 Eigen::Vector3f& normal) const;
  // Distance to the nearest face, negative on the side opposite to that
  // face's normal (inside a closed outward-facing mesh). Brute force.
  float signed_distance(const Eigen::Vector3f& p) const;

 private:
  bool hit_face(int f, const Eigen::Vector3f& o, const Eigen::Vector3f& d, float& t) const;

  std::vector<Eigen::Vector3f> m_points;
  std::vector<BaseTriFace> m_faces;
  Eigen::Vector3f m_lo, m_hi, m_cell;
  Eigen::Vector3i m_dims;
  std::vector<std::vector<int>> m_bins;
};

// A closed, outward-facing bumpy sphere (icosphere subdivided `levels` times,
// radius modulated by low-frequency bumps of relative size `bump`).
BaseTriMesh make_lumpy_sphere(const Eigen::Vector3f& center, float radius, float bump, int levels);

}  // namespace TavoAlgorithm::sim

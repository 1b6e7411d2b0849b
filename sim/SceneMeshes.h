#pragma once
// Triangle meshes of analytic scenes for the renderer tests and benchmarks.
// Faces wind counter-clockwise seen from the side their normal points to.
#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm::sim {

// Quad a-b-c-d (counter-clockwise from the front) as faces (a,b,c), (a,c,d).
void add_quad(BaseTriMesh& mesh, const Eigen::Vector3f& a, const Eigen::Vector3f& b,
              const Eigen::Vector3f& c, const Eigen::Vector3f& d);

// Axis-aligned box with outward faces in the order +x, -x, +y, -y, +z, -z
// (two triangles each).
void add_box(BaseTriMesh& mesh, const Eigen::Vector3f& center, const Eigen::Vector3f& halfExtent);

// Latitude-longitude sphere: 2 * slices * (stacks - 1) outward faces.
void add_uv_sphere(BaseTriMesh& mesh, const Eigen::Vector3f& center, float radius, int slices, int stacks);

}  // namespace TavoAlgorithm::sim

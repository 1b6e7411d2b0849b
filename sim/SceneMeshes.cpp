#include "SceneMeshes.h"

#include <cmath>

namespace TavoAlgorithm::sim {

void add_quad(BaseTriMesh& mesh, const Eigen::Vector3f& a, const Eigen::Vector3f& b,
              const Eigen::Vector3f& c, const Eigen::Vector3f& d) {
  const int base = mesh.get_vn();
  for (const Eigen::Vector3f* p : {&a, &b, &c, &d}) mesh.add_vCoord(*p);
  mesh.add_face({base, base + 1, base + 2});
  mesh.add_face({base, base + 2, base + 3});
}

void add_box(BaseTriMesh& mesh, const Eigen::Vector3f& c, const Eigen::Vector3f& h) {
  auto p = [&](float sx, float sy, float sz) {
    return Eigen::Vector3f(c.x() + sx * h.x(), c.y() + sy * h.y(), c.z() + sz * h.z());
  };
  add_quad(mesh, p(1, -1, -1), p(1, 1, -1), p(1, 1, 1), p(1, -1, 1));
  add_quad(mesh, p(-1, -1, -1), p(-1, -1, 1), p(-1, 1, 1), p(-1, 1, -1));
  add_quad(mesh, p(-1, 1, -1), p(-1, 1, 1), p(1, 1, 1), p(1, 1, -1));
  add_quad(mesh, p(-1, -1, -1), p(1, -1, -1), p(1, -1, 1), p(-1, -1, 1));
  add_quad(mesh, p(-1, -1, 1), p(1, -1, 1), p(1, 1, 1), p(-1, 1, 1));
  add_quad(mesh, p(-1, -1, -1), p(-1, 1, -1), p(1, 1, -1), p(1, -1, -1));
}

void add_uv_sphere(BaseTriMesh& mesh, const Eigen::Vector3f& center, float radius, int slices, int stacks) {
  if (slices < 3 || stacks < 2) return;
  const int base = mesh.get_vn();
  const double pi = std::acos(-1.0);
  mesh.add_vCoord(center + Eigen::Vector3f(0, 0, radius));
  for (int i = 1; i < stacks; ++i) {
    const double theta = pi * i / stacks;
    for (int j = 0; j < slices; ++j) {
      const double phi = 2.0 * pi * j / slices;
      mesh.add_vCoord(center + radius * Eigen::Vector3f(static_cast<float>(std::sin(theta) * std::cos(phi)),
                                                        static_cast<float>(std::sin(theta) * std::sin(phi)),
                                                        static_cast<float>(std::cos(theta))));
    }
  }
  mesh.add_vCoord(center + Eigen::Vector3f(0, 0, -radius));
  const int south = mesh.get_vn() - 1;
  auto ring = [&](int i, int j) { return base + 1 + (i - 1) * slices + (j % slices); };
  for (int j = 0; j < slices; ++j) mesh.add_face({base, ring(1, j), ring(1, j + 1)});
  for (int i = 1; i + 1 < stacks; ++i)
    for (int j = 0; j < slices; ++j) {
      mesh.add_face({ring(i, j), ring(i + 1, j), ring(i + 1, j + 1)});
      mesh.add_face({ring(i, j), ring(i + 1, j + 1), ring(i, j + 1)});
    }
  for (int j = 0; j < slices; ++j) mesh.add_face({south, ring(stacks - 1, j + 1), ring(stacks - 1, j)});
}

}  // namespace TavoAlgorithm::sim

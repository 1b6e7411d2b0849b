#include "common/marching_cubes_table.h"

#include <Eigen/Geometry>
#include <algorithm>
#include <stdexcept>
#include <vector>

namespace TavoAlgorithm::mc {
namespace {

// Cube faces as corner cycles.
constexpr int kFaces[6][4] = {{3, 2, 1, 0}, {7, 4, 5, 6}, {3, 0, 4, 7},
                              {2, 6, 5, 1}, {3, 7, 6, 2}, {0, 1, 5, 4}};

int edge_of(int a, int b) {
  for (int e = 0; e < 12; ++e) {
    if ((kEdgeCorners[e][0] == a && kEdgeCorners[e][1] == b) ||
        (kEdgeCorners[e][0] == b && kEdgeCorners[e][1] == a))
      return e;
  }
  return -1;
}

Eigen::Vector3f corner(int k) {
  return Eigen::Vector3f(static_cast<float>(kCornerOffset[k][0]), static_cast<float>(kCornerOffset[k][1]),
                         static_cast<float>(kCornerOffset[k][2]));
}

Eigen::Vector3f midpoint(int e) { return 0.5f * (corner(kEdgeCorners[e][0]) + corner(kEdgeCorners[e][1])); }

std::array<std::int8_t, kRowLength> build_row(int index) {
  auto inside = [&](int k) { return ((index >> k) & 1) != 0; };
  // Each crossing edge meets two cube faces, so it gets exactly two
  // neighbours along the traced curves.
  std::vector<std::vector<int>> link(12);
  for (const auto& f : kFaces) {
    std::vector<int> cross;  // crossing edges of this face in cycle order
    for (int i = 0; i < 4; ++i) {
      const int a = f[i], b = f[(i + 1) % 4];
      if (inside(a) != inside(b)) cross.push_back(edge_of(a, b));
    }
    if (cross.size() == 2) {
      link[cross[0]].push_back(cross[1]);
      link[cross[1]].push_back(cross[0]);
    } else if (cross.size() == 4) {
      // Cut off each inside corner: pair the two crossing edges that meet it.
      for (int i = 0; i < 4; ++i) {
        if (!inside(f[i])) continue;
        const int e1 = edge_of(f[(i + 3) % 4], f[i]), e2 = edge_of(f[i], f[(i + 1) % 4]);
        link[e1].push_back(e2);
        link[e2].push_back(e1);
      }
    }
  }
  std::array<std::int8_t, kRowLength> row;
  row.fill(-1);
  int written = 0;
  std::vector<bool> used(12, false);
  for (int start = 0; start < 12; ++start) {
    if (link[start].empty() || used[start]) continue;
    std::vector<int> loop{start};
    used[start] = true;
    int prev = start, cur = link[start][0];
    while (cur != start) {
      loop.push_back(cur);
      used[cur] = true;
      const int next = link[cur][0] == prev ? link[cur][1] : link[cur][0];
      prev = cur;
      cur = next;
    }
    // Orient the loop so its normal points away from the inside corners.
    Eigen::Vector3f normal = Eigen::Vector3f::Zero(), toInside = Eigen::Vector3f::Zero();
    for (std::size_t i = 0; i < loop.size(); ++i) {
      const Eigen::Vector3f p = midpoint(loop[i]), q = midpoint(loop[(i + 1) % loop.size()]);
      normal += p.cross(q);
      const int a = kEdgeCorners[loop[i]][0], b = kEdgeCorners[loop[i]][1];
      toInside += inside(a) ? corner(a) - corner(b) : corner(b) - corner(a);
    }
    if (normal.dot(toInside) > 0.f) std::reverse(loop.begin() + 1, loop.end());
    // Fan, stored inward so that the reversed emission faces outward.
    for (std::size_t i = 1; i + 1 < loop.size(); ++i) {
      if (written + 3 >= kRowLength) throw std::logic_error("marching-cubes case exceeds five triangles");
      row[written++] = static_cast<std::int8_t>(loop[0]);
      row[written++] = static_cast<std::int8_t>(loop[i + 1]);
      row[written++] = static_cast<std::int8_t>(loop[i]);
    }
  }
  return row;
}

CaseTable build_table() {
  CaseTable t;
  for (int i = 0; i < 256; ++i) t[i] = build_row(i);
  return t;
}

}  // namespace

const CaseTable& triangle_table() {
  static const CaseTable table = build_table();
  return table;
}

}  // namespace TavoAlgorithm::mc

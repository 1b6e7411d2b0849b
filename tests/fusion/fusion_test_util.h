#pragma once
// Shared pieces of the fusion tests: live-geometry views of extracted meshes.
#include <Eigen/Core>
#include <map>
#include <utility>
#include <vector>

#include "geometry/BaseTriMesh.h"

namespace fusion_test {

inline std::vector<Eigen::Vector3f> live_vertices(const TavoAlgorithm::BaseTriMesh& m) {
  std::vector<Eigen::Vector3f> out;
  for (int i = 0; i < m.get_vn(); ++i)
    if (!m.get_vDeleted(i)) out.push_back(m.get_vCoord(i));
  return out;
}

inline bool face_live(const TavoAlgorithm::BaseTriMesh& m, int f) {
  if (m.get_fDeleted(f)) return false;
  const auto& t = m.get_face(f);
  return !m.get_vDeleted(t[0]) && !m.get_vDeleted(t[1]) && !m.get_vDeleted(t[2]);
}

inline int live_face_count(const TavoAlgorithm::BaseTriMesh& m) {
  int n = 0;
  for (int f = 0; f < m.get_fn(); ++f) n += face_live(m, f) ? 1 : 0;
  return n;
}

// Undirected live edges used by other than exactly two live faces, and
// directed edges used twice (inconsistent orientation).
inline std::pair<int, int> open_and_flipped_edges(const TavoAlgorithm::BaseTriMesh& m) {
  std::map<std::pair<int, int>, int> undirected, directed;
  for (int f = 0; f < m.get_fn(); ++f) {
    if (!face_live(m, f)) continue;
    const auto& t = m.get_face(f);
    for (int k = 0; k < 3; ++k) {
      const int a = t[k], b = t[(k + 1) % 3];
      ++undirected[{std::min(a, b), std::max(a, b)}];
      ++directed[{a, b}];
    }
  }
  int open = 0, flipped = 0;
  for (const auto& [e, n] : undirected) open += n != 2 ? 1 : 0;
  for (const auto& [e, n] : directed) flipped += n != 1 ? 1 : 0;
  return {open, flipped};
}

}  // namespace fusion_test

#pragma once
// Meshes with holes of known border lengths, and an oracle for the holes of
// an indexed mesh that does not use the library's hole finding.
#include <algorithm>
#include <cmath>
#include <array>
#include <map>
#include <numeric>
#include <set>
#include <tuple>
#include <vector>

#include <filesystem>
#include <iostream>

#include "FusionMeshHelper.h"
#include "MeshShells.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/RangeScanIO.h"
#include "geometry/TriMesh.h"
#include "mesh_shapes.h"
#include "meshproc/MeshCleanup.h"

namespace tavo_test {
using namespace TavoAlgorithm;

// Icosphere of the given radius (mm) about the origin.
inline BaseTriMesh sphere(float radius, int levels) {
  BaseTriMesh m = test::make_icosphere(levels);
  for (int v = 0; v < m.get_vn(); ++v) m.set_vCoord(v, radius * m.get_vCoord(v));
  return m;
}

using EdgeKey = std::pair<int, int>;
inline EdgeKey edge_key(int a, int b) { return {std::min(a, b), std::max(a, b)}; }

// Face counts of the undirected edges of the faces not deleted.
inline std::map<EdgeKey, int> edge_uses(const BaseTriMesh& m) {
  std::map<EdgeKey, int> uses;
  for (int f = 0; f < m.get_fn(); ++f)
    if (!m.get_fDeleted(f))
      for (int k = 0; k < 3; ++k) ++uses[edge_key(m.get_face(f)[k], m.get_face(f)[(k + 1) % 3])];
  return uses;
}

// Marks faces of a closed mesh as deleted so that one hole opens around
// `seed` whose border has exactly `edges` edges (at least the seed's
// valence): the seed's fan first, then, one at a time, the face nearest the
// seed that shares one edge with the hole and whose third vertex is not on
// it. Vertices in `reserved` are never touched; the hole and its ring are
// added to it, so that later holes stay apart. Returns false when the border
// cannot reach the length.
inline bool open_hole(BaseTriMesh& m, int seed, int edges, std::set<int>& reserved) {
  std::set<int> region;  // deleted faces of this hole
  std::set<int> touched;  // vertices of those faces
  for (int f = 0; f < m.get_fn(); ++f) {
    const auto& t = m.get_face(f);
    if (t[0] == seed || t[1] == seed || t[2] == seed) {
      region.insert(f);
      touched.insert(t.v.begin(), t.v.end());
    }
  }
  if (std::any_of(touched.begin(), touched.end(), [&](int v) { return reserved.count(v); })) return false;
  auto border = [&]() {
    std::map<EdgeKey, int> uses;
    for (int f : region)
      for (int k = 0; k < 3; ++k) ++uses[edge_key(m.get_face(f)[k], m.get_face(f)[(k + 1) % 3])];
    std::set<EdgeKey> b;
    for (const auto& [e, n] : uses)
      if (n == 1) b.insert(e);
    return b;
  };
  const Eigen::Vector3f centre = m.get_vCoord(seed);
  while (static_cast<int>(border().size()) < edges) {
    const auto b = border();
    int best = -1;
    float bestDist = 0.f;
    for (int f = 0; f < m.get_fn(); ++f) {
      if (region.count(f) || m.get_fDeleted(f)) continue;
      const auto& t = m.get_face(f);
      int shared = 0, third = -1;
      for (int k = 0; k < 3; ++k) {
        if (b.count(edge_key(t[k], t[(k + 1) % 3]))) ++shared;
        if (!touched.count(t[k])) third = t[k];
      }
      if (shared != 1 || third < 0 || reserved.count(third)) continue;
      const float d = ((m.get_vCoord(t[0]) + m.get_vCoord(t[1]) + m.get_vCoord(t[2])) / 3.f - centre).norm();
      if (best < 0 || d < bestDist) {
        best = f;
        bestDist = d;
      }
    }
    if (best < 0) return false;
    region.insert(best);
    for (int k = 0; k < 3; ++k) touched.insert(m.get_face(best)[k]);
  }
  if (static_cast<int>(border().size()) != edges) return false;
  for (int f : region) m.set_fDeleted(f, true);
  // The hole's vertices and their ring stay clear of later holes.
  for (int f = 0; f < m.get_fn(); ++f) {
    const auto& t = m.get_face(f);
    if (std::any_of(t.v.begin(), t.v.end(), [&](int v) { return touched.count(v); }))
      reserved.insert(t.v.begin(), t.v.end());
  }
  return true;
}

// An n x n grid of unit squares bent into the dome z = h sin(pi x / n)
// sin(pi y / n), so its border lies at z = 0 below everything else, with the
// squares (row, column) of `removed` cut out. Vertex (r, c) is r (n + 1) + c
// at x = c, y = r; square (r, c) is faces 2 (n r + c) and one more.
inline BaseTriMesh dome(int n, float h, const std::vector<std::pair<int, int>>& removed = {}) {
  BaseTriMesh m;
  test::add_grid(m, n, Eigen::Vector3f::Zero());
  for (int v = 0; v < m.get_vn(); ++v) {
    Eigen::Vector3f p = m.get_vCoord(v);
    p.z() = h * std::sin(float(M_PI) * p.x() / n) * std::sin(float(M_PI) * p.y() / n);
    m.set_vCoord(v, p);
  }
  m.enable_fFlag();
  for (const auto& [r, c] : removed)
    for (int f : {2 * (n * r + c), 2 * (n * r + c) + 1}) m.set_fDeleted(f, true);
  return m;
}

// The vertex of a mesh nearest a direction from the origin.
inline int vertex_towards(const BaseTriMesh& m, const Eigen::Vector3f& dir) {
  int best = 0;
  for (int v = 1; v < m.get_vn(); ++v)
    if (m.get_vCoord(v).normalized().dot(dir.normalized()) > m.get_vCoord(best).normalized().dot(dir.normalized()))
      best = v;
  return best;
}

// Deleted faces and the vertices no face uses are removed.
inline BaseTriMesh compacted(BaseTriMesh m) {
  squeeze_baseTriMesh(m);
  return m;
}

// Directions of the holes of holed_sphere: four around the equator, one up.
inline const std::vector<Eigen::Vector3f> kDirs = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0.6f, 0.6f, 0.5f}};

// A level-4 icosphere (radius in mm) with holes of the given border lengths
// around the directions, compacted; false from `ok` when a hole could not
// be cut.
inline BaseTriMesh holed_sphere(float radius, const std::vector<int>& edges,
                                const std::vector<Eigen::Vector3f>& dirs = kDirs, bool* ok = nullptr) {
  BaseTriMesh m = sphere(radius, 4);
  m.enable_fFlag();
  std::set<int> reserved;
  bool all = true;
  for (std::size_t i = 0; i < edges.size(); ++i)
    all = open_hole(m, vertex_towards(m, dirs[i]), edges[i], reserved) && all;
  if (ok) *ok = all;
  return compacted(m);
}

// Holes found by counting: the edges used by one face, joined where they
// share a vertex. Each hole: its border vertices and its edge count.
struct OracleHole {
  std::set<int> verts;
  int edges = 0;
};
inline std::vector<OracleHole> oracle_holes(const BaseTriMesh& m) {
  std::vector<int> parent(static_cast<std::size_t>(m.get_vn()));
  std::iota(parent.begin(), parent.end(), 0);
  auto find = [&](int x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  std::vector<EdgeKey> border;
  for (const auto& [e, n] : edge_uses(m))
    if (n == 1) {
      border.push_back(e);
      parent[find(e.first)] = find(e.second);
    }
  std::map<int, OracleHole> byRoot;
  for (const auto& e : border) {
    OracleHole& h = byRoot[find(e.first)];
    h.verts.insert(e.first);
    h.verts.insert(e.second);
    ++h.edges;
  }
  std::vector<OracleHole> holes;
  for (auto& [root, h] : byRoot) holes.push_back(std::move(h));
  return holes;
}

inline int border_edge_count(const BaseTriMesh& m) {
  int n = 0;
  for (const auto& [e, uses] : edge_uses(m)) n += uses == 1 ? 1 : 0;
  return n;
}

using PointKey = std::tuple<float, float, float>;
inline PointKey point_key(const Eigen::Vector3f& p) { return {p.x(), p.y(), p.z()}; }

inline bool mask_bit(const std::vector<int>& mask, int f) {
  return (static_cast<unsigned>(mask[f / 32]) >> (f % 32)) & 1u;
}

// Checks faces [0, end) of a scoring mesh against the model it came from, by
// vertex positions: the model's faces first, in order; then the new faces
// closing holes that are not scored; from `first` on only new faces of
// scored holes (a new face is of the oracle hole that holds one of its model
// vertices; one with only new vertices is inside a patch, which only scored
// holes get). With a mask, its bits must be set exactly for those faces.
// Returns the hole faces per oracle hole.
inline std::vector<int> check_hole_faces(const BaseTriMesh& model, const std::vector<OracleHole>& holes,
                                         const std::vector<bool>& scored, const BaseTriMesh& mesh, int first,
                                         int end, const std::vector<int>* mask = nullptr) {
  std::map<PointKey, int> index;
  for (int v = 0; v < model.get_vn(); ++v) index[point_key(model.get_vCoord(v))] = v;
  std::set<std::array<int, 3>> modelFaces;
  for (int f = 0; f < model.get_fn(); ++f) {
    std::array<int, 3> t = model.get_face(f).v;
    std::sort(t.begin(), t.end());
    modelFaces.insert(t);
  }
  std::map<int, int> holeOf;
  for (std::size_t h = 0; h < holes.size(); ++h)
    for (int v : holes[h].verts) holeOf[v] = static_cast<int>(h);
  std::vector<int> perHole(holes.size(), 0);
  int fromModel = 0, misplaced = 0, badBits = 0;
  for (int f = 0; f < end; ++f) {
    std::array<int, 3> t{-1, -1, -1};
    int hole = -1;
    for (int k = 0; k < 3; ++k) {
      const auto it = index.find(point_key(mesh.get_vCoord(mesh.get_face(f)[k])));
      if (it == index.end()) continue;
      t[k] = it->second;
      if (holeOf.count(t[k])) hole = holeOf[t[k]];
    }
    std::sort(t.begin(), t.end());
    const bool old = t[0] >= 0 && modelFaces.count(t);
    const bool holeFace = !old && (hole < 0 || scored[hole]);
    misplaced += old ? f != fromModel++ : (f >= first) != holeFace;
    if (mask) badBits += mask_bit(*mask, f) != holeFace;
    if (holeFace && hole >= 0) ++perHole[hole];
  }
  EXPECT_EQ(fromModel, model.get_fn()) << "every model face is kept";
  EXPECT_EQ(misplaced, 0) << "model faces, closed unscored holes, hole faces: in this order";
  EXPECT_EQ(badBits, 0) << "mask bits exactly on the hole faces";
  return perHole;
}

// Scored without value boxes: 7 edges or more.
inline std::vector<bool> long_holes(const std::vector<OracleHole>& holes) {
  std::vector<bool> s;
  for (const auto& h : holes) s.push_back(h.edges >= 7);
  return s;
}

// The bunny fused from its eight scans at 1.5 mm voxels, in mm, with two
// holes cut 5 mm around a vertex of each flank (+z, -z) at mid height, then
// cleaned as the scoring mesh cleans (shells of up to 10 faces, non-manifold
// vertices), so that the oracle sees the holes the scoring mesh sees.
struct CutBunny {
  BaseTriMesh model;
  std::vector<int> cutHoles;  // indices into oracle_holes(model)
};
inline bool cut_bunny(CutBunny& out) {
  const std::filesystem::path conf = std::filesystem::path(TAVO_TEST_DATA_DIR) / "bunny-scans" / "bun.conf";
  std::vector<RangeData> frames;
  if (!std::filesystem::exists(conf) || read_range_scans(conf.string(), frames) != RETVAL_SUCCESS) return false;
  FusionMeshHelper h;
  std::string err;
  DentalFusionMeshParam p;
  p.voxelSize = 0.0015f;
  p.clipZ = -1e6f;
  if (h.set_param(p, err) != RETVAL_SUCCESS) return false;
  std::vector<const RangeData*> ptrs;
  for (const auto& f : frames) ptrs.push_back(&f);
  h.send_rangeData(ptrs, std::vector<RigidMatrix>(ptrs.size()), std::vector<bool>(ptrs.size(), false), false);
  BaseTriMesh fused;
  if (h.get_triMesh(fused) != RETVAL_SUCCESS) return false;
  BaseTriMesh bunny = compacted(fused);
  for (int v = 0; v < bunny.get_vn(); ++v) bunny.set_vCoord(v, 1000.f * bunny.get_vCoord(v));

  const BoundingBox all = bunny.get_boundBox();
  const float lo = all.minY + 0.3f * (all.maxY - all.minY), hi = all.minY + 0.5f * (all.maxY - all.minY);
  Eigen::Vector3f centres[2];
  for (int side = 0; side < 2; ++side) {
    float best = -1e9f;
    for (const auto& q : bunny.get_vCoords())
      if (q.y() > lo && q.y() < hi && (side ? -q.z() : q.z()) > best) {
        best = side ? -q.z() : q.z();
        centres[side] = q;
      }
  }
  bunny.enable_fFlag();
  for (int f = 0; f < bunny.get_fn(); ++f)
    for (int k = 0; k < 3; ++k)
      for (const auto& c : centres)
        if ((bunny.get_vCoord(bunny.get_face(f)[k]) - c).norm() < 5.f) bunny.set_fDeleted(f, true);
  TriMesh cleaned;
  BaseTriMesh_convert_to_TriMesh(compacted(bunny), cleaned);
  remove_small_shell(cleaned, 10);
  remove_non_manifold_verts(cleaned);
  TriMesh_convert_to_BaseTriMesh(cleaned, out.model);

  const auto holes = oracle_holes(out.model);
  out.cutHoles.clear();
  for (std::size_t h = 0; h < holes.size(); ++h)
    for (const auto& c : centres)
      if (std::any_of(holes[h].verts.begin(), holes[h].verts.end(),
                      [&](int v) { return (out.model.get_vCoord(v) - c).norm() < 8.f; })) {
        out.cutHoles.push_back(static_cast<int>(h));
        break;
      }
  std::cout << "bunny: " << out.model.get_fn() << " faces, " << holes.size() << " holes" << std::endl;
  return true;
}

}  // namespace tavo_test

#pragma once
// Edge and corner tables of an indexed triangle mesh, for neighbourhood
// queries without a half-edge mesh.
//
// Edge k of a face runs from its vertex k to vertex (k + 1) mod 3. The edge
// table holds per face {next face, next face, next face, edge, edge, edge}:
// for edge k, entry k is the next face of the cycle of faces on that edge and
// entry k + 3 that face's edge number; a border edge points to itself, a
// shared edge to the other face, an edge of three or more faces cycles
// through all of them. The corner table holds per face, for corner k, the
// next corner {face, corner} (entries k, k + 3) with the same vertex, -1 -1
// ending the list; the vertex table holds each vertex's first corner (its
// highest face), (-1, -1) for an unused vertex. Faces deleted at build time
// keep -1 everywhere; so do faces with a vertex index outside the mesh.
//
// The tables describe the mesh as it was built; rebuild after the mesh
// changes. Building is linear in the face and vertex counts. Queries are
// read-only and may run concurrently; build and clear may not.
#include <array>
#include <cstdint>
#include <vector>

#include "TavoExport.h"
#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm {

namespace PeltoVertSkeleton {
// One corner: a face and the vertex's position (0, 1, 2) in it.
struct V2F {
  std::int32_t face = -1;
  std::int32_t corner = -1;
  bool operator==(const V2F& o) const { return face == o.face && corner == o.corner; }
};
}  // namespace PeltoVertSkeleton

enum Topos : int {
  TOPOS_EDGE = 1,    // edge table
  TOPOS_CORNER = 2,  // corner and vertex tables
};

class TAVO_API OrvaneSimpleTopos {
 public:
  using Record = std::array<std::int32_t, 6>;

  OrvaneSimpleTopos() = default;
  OrvaneSimpleTopos(const OrvaneSimpleTopos&) = default;
  OrvaneSimpleTopos& operator=(const OrvaneSimpleTopos&) = default;
  ~OrvaneSimpleTopos();

  // Bit value 1 of flags builds all three tables; other bits do nothing.
  void build_topo(const BaseTriMesh& mesh, char flags);
  // Bit value 1 empties all three tables (their storage is kept).
  void clearTopo(char flags);
  // TOPOS_EDGE: edge table empty; TOPOS_CORNER: corner table empty; any other
  // value: true.
  bool is_empty(const Topos& topos) const;

  // Every live face on edge k of face f, f first; empty when the mesh's face
  // count no longer matches the tables or f, k is out of range. Faces deleted
  // in the mesh since the build are skipped.
  std::vector<std::int32_t> find_all_tids(const BaseTriMesh& mesh, std::int32_t f, std::int32_t k) const;
  // Every corner of vertex v, faces in decreasing order; empty when the
  // mesh's counts no longer match the tables or v is out of range.
  std::vector<PeltoVertSkeleton::V2F> find_all_tids(const BaseTriMesh& mesh, std::int32_t v) const;

  const std::vector<Record>& edge_table() const { return m_edges; }
  const std::vector<Record>& corner_table() const { return m_corners; }
  const std::vector<PeltoVertSkeleton::V2F>& vertex_table() const { return m_verts; }

 private:
  std::vector<Record> m_edges;
  std::vector<Record> m_corners;
  std::vector<PeltoVertSkeleton::V2F> m_verts;
};

}  // namespace TavoAlgorithm

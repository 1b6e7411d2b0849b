#pragma once
// TriMesh: the half-edge mesh (OpenMesh) used where topology is needed.
// Carries status flags (for deletion and garbage collection), face and vertex
// normals.
#include <string>
#include <vector>

#include <OpenMesh/Core/IO/MeshIO.hh>
#include <OpenMesh/Core/Mesh/TriMesh_ArrayKernelT.hh>

#include "geometry/BaseTriMesh.h"
#include "geometry/BoundingBox.h"

namespace TavoAlgorithm {

struct TriMeshTraits : public OpenMesh::DefaultTraits {
  using Point = OpenMesh::Vec3f;
  using Normal = OpenMesh::Vec3f;
  VertexAttributes(OpenMesh::Attributes::Status | OpenMesh::Attributes::Normal);
  FaceAttributes(OpenMesh::Attributes::Status | OpenMesh::Attributes::Normal);
  EdgeAttributes(OpenMesh::Attributes::Status);
  HalfedgeAttributes(OpenMesh::Attributes::Status | OpenMesh::Attributes::PrevHalfedge);
};

class TriMesh : public OpenMesh::TriMesh_ArrayKernelT<TriMeshTraits> {
 public:
  // Replaces the mesh with `points` and faceCount triangles given as 3 * faceCount
  // vertex indices. Faces with an index out of range or that OpenMesh rejects
  // as non-manifold are skipped; returns the number of faces added.
  int build_mesh(const std::vector<Eigen::Vector3f>& points, const int* faceIndices,
                 int faceCount);
  // Box of the vertices not marked deleted.
  BoundingBox get_boundBox() const;
};

// Vertices, faces (flags carried as deleted marks) and normals both ways.
// TriMesh_convert_to_BaseTriMesh skips deleted elements and renumbers.
void BaseTriMesh_convert_to_TriMesh(const BaseTriMesh& in, TriMesh& out);
void TriMesh_convert_to_BaseTriMesh(const TriMesh& in, BaseTriMesh& out);

// Writes by file extension (.ply, .obj, .stl, .off); false on failure.
bool write_mesh(const TriMesh& mesh, const std::string& path);
// Binary STL regardless of the extension.
bool write_stl_mesh(const TriMesh& mesh, const std::string& path);
// Reads .ply, .obj, .off or .stl by file extension (positions and faces; STL
// corners are welded by position, normals are recomputed). As in OpenMesh's
// readers, polygons are split into triangles, a face that would break the
// half-edge structure gets its own copies of its vertices and a face with a
// repeated corner is skipped. False with a located console line naming the
// file and the fault for anything else: a missing file or one that is not a
// regular file, a file cut short, counts larger than the file, a coordinate
// that is not a finite number, a face corner that names no vertex, an
// over-long line.
bool read_mesh(TriMesh& mesh, const std::string& path);

// Same for the array mesh (deleted faces and vertices are not written).
bool write_mesh(const BaseTriMesh& mesh, const std::string& path);
bool read_mesh(BaseTriMesh& mesh, const std::string& path);

}  // namespace TavoAlgorithm

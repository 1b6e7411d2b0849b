#include "geometry/TriMesh.h"

#include <algorithm>
#include <cstdint>
#include <fstream>

#include <OpenMesh/Core/IO/importer/ImporterT.hh>

#include "geometry/ConsoleLines.h"
#include "mesh_file_reader.h"

namespace TavoAlgorithm {

namespace {
OpenMesh::Vec3f to_om(const Eigen::Vector3f& p) { return {p.x(), p.y(), p.z()}; }
Eigen::Vector3f to_eigen(const OpenMesh::Vec3f& p) { return {p[0], p[1], p[2]}; }

}  // namespace

int TriMesh::build_mesh(const std::vector<Eigen::Vector3f>& points, const int* faceIndices,
                        int faceCount) {
  clean();
  std::vector<VertexHandle> handles;
  handles.reserve(points.size());
  for (const auto& p : points) handles.push_back(add_vertex(to_om(p)));
  const int n = static_cast<int>(points.size());
  int added = 0;
  for (int f = 0; f < faceCount && faceIndices; ++f) {
    const int* idx = faceIndices + 3 * static_cast<std::size_t>(f);
    if (std::any_of(idx, idx + 3, [n](int v) { return v < 0 || v >= n; })) continue;
    if (idx[0] == idx[1] || idx[1] == idx[2] || idx[0] == idx[2]) continue;
    // OpenMesh returns an invalid handle for a face that would break manifoldness.
    if (add_face(handles[idx[0]], handles[idx[1]], handles[idx[2]]).is_valid()) ++added;
  }
  update_face_normals();
  update_vertex_normals();
  return added;
}

BoundingBox TriMesh::get_boundBox() const {
  BoundingBox box;
  for (auto v : vertices())
    if (!status(v).deleted()) box.extend(to_eigen(point(v)));
  return box;
}

void BaseTriMesh_convert_to_TriMesh(const BaseTriMesh& in, TriMesh& out) {
  std::vector<int> idx;
  idx.reserve(static_cast<std::size_t>(in.get_fn()) * 3);
  for (int f = 0; f < in.get_fn(); ++f) {
    if (in.get_fDeleted(f)) continue;
    const BaseTriFace& face = in.get_face(f);
    if (in.get_vDeleted(face[0]) || in.get_vDeleted(face[1]) || in.get_vDeleted(face[2])) continue;
    idx.insert(idx.end(), face.v.begin(), face.v.end());
  }
  out.build_mesh(in.get_vCoords(), idx.data(), static_cast<int>(idx.size() / 3));
  for (int v = 0; v < in.get_vn(); ++v)
    if (in.get_vDeleted(v)) out.status(out.vertex_handle(v)).set_deleted(true);
}

void TriMesh_convert_to_BaseTriMesh(const TriMesh& in, BaseTriMesh& out) {
  out.clear();
  out.enable_vNormal();
  std::vector<int> newIndex(in.n_vertices(), -1);
  std::vector<Eigen::Vector3f> coords;
  coords.reserve(in.n_vertices());
  for (auto v : in.vertices()) {
    if (in.status(v).deleted()) continue;
    newIndex[v.idx()] = static_cast<int>(coords.size());
    coords.push_back(to_eigen(in.point(v)));
  }
  out.set_vCoords(std::move(coords));
  for (auto v : in.vertices())
    if (newIndex[v.idx()] >= 0) out.set_vNrv(newIndex[v.idx()], to_eigen(in.normal(v)));
  std::vector<BaseTriFace> faces;
  faces.reserve(in.n_faces());
  for (auto f : in.faces()) {
    if (in.status(f).deleted()) continue;
    BaseTriFace face;
    int k = 0;
    for (auto v : in.fv_range(f)) face[k++] = newIndex[v.idx()];
    if (k == 3 && face[0] >= 0 && face[1] >= 0 && face[2] >= 0) faces.push_back(face);
  }
  out.set_faces(std::move(faces));
  out.update_fNrv();
}

bool write_mesh(const TriMesh& mesh, const std::string& path) {
  OpenMesh::IO::Options opt;
  if (mesh_file::extension_of(path) == "stl") opt += OpenMesh::IO::Options::Binary;
  if (!OpenMesh::IO::write_mesh(mesh, path, opt)) {
    TAVO_PLATFORM_ERROR("cannot write mesh " + path);
    return false;
  }
  return true;
}

bool write_stl_mesh(const TriMesh& mesh, const std::string& path) {
  // Written by hand so the format does not depend on the file name.
  std::ofstream out(path, std::ios::binary);
  if (!out) {
    TAVO_PLATFORM_ERROR("cannot write stl mesh " + path);
    return false;
  }
  char header[80] = {};
  out.write(header, sizeof(header));
  std::uint32_t count = 0;
  for (auto f : mesh.faces())
    if (!mesh.status(f).deleted()) ++count;
  out.write(reinterpret_cast<const char*>(&count), sizeof(count));
  for (auto f : mesh.faces()) {
    if (mesh.status(f).deleted()) continue;
    float rec[12];
    OpenMesh::Vec3f p[3];
    int k = 0;
    for (auto v : mesh.fv_range(f)) p[k++] = mesh.point(v);
    const OpenMesh::Vec3f n = OpenMesh::cross(p[1] - p[0], p[2] - p[0]).normalize_cond();
    for (int c = 0; c < 3; ++c) rec[c] = n[c];
    for (int j = 0; j < 3; ++j)
      for (int c = 0; c < 3; ++c) rec[3 + 3 * j + c] = p[j][c];
    out.write(reinterpret_cast<const char*>(rec), sizeof(rec));
    const std::uint16_t attr = 0;
    out.write(reinterpret_cast<const char*>(&attr), sizeof(attr));
  }
  if (!out) {
    TAVO_PLATFORM_ERROR("cannot write stl mesh " + path);
    return false;
  }
  return true;
}

bool read_mesh(TriMesh& mesh, const std::string& path) {
  mesh.clean();
  // Our own readers rather than OpenMesh's: those reserve what a header
  // claims, keep what they got from a file cut short, open the material
  // files an OBJ names and drop bad faces without a word.
  mesh_file::Polygons file;
  std::string error;
  if (!mesh_file::read(path, file, error)) {
    TAVO_PLATFORM_ERROR("cannot read mesh " + path + ": " + error);
    return false;
  }
  // OpenMesh's importer, as its readers use it: polygons are split into
  // triangles, a face that would break the half-edge structure gets its own
  // copies of its vertices, a face with a repeated corner is skipped.
  OpenMesh::IO::ImporterT<TriMesh> importer(mesh);
  importer.reserve(static_cast<unsigned>(file.points.size()), 3 * static_cast<unsigned>(file.cornerCounts.size()),
                   static_cast<unsigned>(file.cornerCounts.size()));
  for (const auto& p : file.points) importer.add_vertex(OpenMesh::Vec3f(p.x(), p.y(), p.z()));
  OpenMesh::IO::BaseImporter::VHandles face;
  std::size_t next = 0;
  for (const int n : file.cornerCounts) {
    face.clear();
    for (int k = 0; k < n; ++k) face.push_back(OpenMesh::VertexHandle(file.corners[next++]));
    importer.add_face(face);
  }
  mesh.update_face_normals();
  mesh.update_vertex_normals();
  return true;
}

bool write_mesh(const BaseTriMesh& mesh, const std::string& path) {
  TriMesh tri;
  BaseTriMesh_convert_to_TriMesh(mesh, tri);
  tri.garbage_collection();
  return write_mesh(tri, path);
}

bool read_mesh(BaseTriMesh& mesh, const std::string& path) {
  TriMesh tri;
  if (!read_mesh(tri, path)) return false;
  TriMesh_convert_to_BaseTriMesh(tri, mesh);
  return true;
}

}  // namespace TavoAlgorithm

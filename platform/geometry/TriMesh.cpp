#include "geometry/TriMesh.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>

#include "geometry/ConsoleLines.h"
#include "ply_reader.h"

namespace TavoAlgorithm {

namespace {
OpenMesh::Vec3f to_om(const Eigen::Vector3f& p) { return {p.x(), p.y(), p.z()}; }
Eigen::Vector3f to_eigen(const OpenMesh::Vec3f& p) { return {p[0], p[1], p[2]}; }

std::string lower_extension(const std::string& path) {
  const auto dot = path.find_last_of('.');
  std::string ext = dot == std::string::npos ? std::string() : path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

// OpenMesh keeps what it got from a file cut short and reports success, and it
// drops faces with bad indices quietly; PLY and binary STL are checked first.
bool check_mesh_file(const std::string& path, std::string& error) {
  const std::string ext = lower_extension(path);
  if (ext == "ply") {
    ply::File file;
    if (!ply::read(path, file, error)) return false;
    const ply::Element* verts = file.find("vertex");
    const double vn = verts ? static_cast<double>(verts->count) : 0.0;
    for (const char* axis : {"x", "y", "z"}) {
      const ply::Property* p = verts ? verts->find(axis) : nullptr;
      if (p && !std::all_of(p->values.begin(), p->values.end(), [](double v) { return std::isfinite(v); })) {
        error = "non-finite vertex coordinate";
        return false;
      }
    }
    const ply::Element* faces = file.find("face");
    const ply::Property* idx = faces ? faces->find("vertex_indices") : nullptr;
    if (faces && !idx) idx = faces->find("vertex_index");
    if (idx && std::any_of(idx->values.begin(), idx->values.end(), [vn](double v) { return v < 0 || v >= vn; })) {
      error = "face vertex index out of range";
      return false;
    }
  } else if (ext == "stl") {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return true;  // OpenMesh reports the missing file
    const auto size = static_cast<std::uint64_t>(in.tellg());
    char head[84] = {};
    in.seekg(0);
    in.read(head, sizeof(head));
    std::uint32_t count = 0;
    std::memcpy(&count, head + 80, sizeof(count));
    if (size != 84 + 50 * std::uint64_t{count} && std::strncmp(head, "solid", 5) != 0) {
      error = "binary stl size does not match its face count";
      return false;
    }
  }
  return true;
}
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
  if (lower_extension(path) == "stl") opt += OpenMesh::IO::Options::Binary;
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
  std::string error;
  OpenMesh::IO::Options opt;
  if (!check_mesh_file(path, error) || !OpenMesh::IO::read_mesh(mesh, path, opt)) {
    mesh.clean();
    TAVO_PLATFORM_ERROR("cannot read mesh " + path + (error.empty() ? "" : ": " + error));
    return false;
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

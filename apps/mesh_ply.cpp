#include "mesh_ply.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "geometry/TriMesh.h"

namespace TavoAlgorithm::apps {

bool write_binary_ply(const std::string& path, const BaseTriMesh& mesh, const PlyContents& contents,
                      std::string& error) {
  const std::size_t vn = static_cast<std::size_t>(mesh.get_vn()), fn = static_cast<std::size_t>(mesh.get_fn());
  if ((contents.vertexColours && contents.vertexColours->size() != vn) ||
      (contents.faceColours && contents.faceColours->size() != fn) || !mesh.faces_valid()) {
    error = "ply: colours that do not match the vertices or faces, or a face index outside the vertices";
    return false;
  }
  if (contents.vertexNormals && !mesh.has_vNormal()) {
    error = "ply: the mesh has no vertex normals";
    return false;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    error = "ply: cannot write " + path;
    return false;
  }
  const std::uint16_t probe = 1;
  const bool little = *reinterpret_cast<const std::uint8_t*>(&probe) == 1;
  out << "ply\nformat " << (little ? "binary_little_endian" : "binary_big_endian") << " 1.0\n"
      << "element vertex " << vn << "\nproperty float x\nproperty float y\nproperty float z\n";
  if (contents.vertexNormals) out << "property float nx\nproperty float ny\nproperty float nz\n";
  if (contents.vertexColours) out << "property uchar red\nproperty uchar green\nproperty uchar blue\n";
  out << "element face " << fn << "\nproperty list uchar int vertex_indices\n";
  if (contents.faceColours) out << "property uchar red\nproperty uchar green\nproperty uchar blue\n";
  out << "end_header\n";

  // Records are built whole so that the file is written in large pieces.
  std::vector<char> buffer;
  const std::size_t vertexBytes = 3 * sizeof(float) + (contents.vertexNormals ? 3 * sizeof(float) : 0) +
                                  (contents.vertexColours ? 3 : 0);
  buffer.resize(vertexBytes * vn);
  for (std::size_t i = 0; i < vn; ++i) {
    char* rec = buffer.data() + i * vertexBytes;
    std::memcpy(rec, mesh.get_vCoord(static_cast<int>(i)).data(), 3 * sizeof(float));
    rec += 3 * sizeof(float);
    if (contents.vertexNormals) {
      std::memcpy(rec, mesh.get_vNrv(static_cast<int>(i)).data(), 3 * sizeof(float));
      rec += 3 * sizeof(float);
    }
    if (contents.vertexColours) std::memcpy(rec, (*contents.vertexColours)[i].data(), 3);
  }
  out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  const std::size_t faceBytes = 1 + 3 * sizeof(std::int32_t) + (contents.faceColours ? 3 : 0);
  buffer.assign(faceBytes * fn, 0);
  for (std::size_t f = 0; f < fn; ++f) {
    char* rec = buffer.data() + f * faceBytes;
    rec[0] = 3;
    std::memcpy(rec + 1, mesh.get_face(static_cast<int>(f)).v.data(), 3 * sizeof(std::int32_t));
    if (contents.faceColours) std::memcpy(rec + 1 + 3 * sizeof(std::int32_t), (*contents.faceColours)[f].data(), 3);
  }
  out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  out.close();
  if (out.fail()) {
    error = "ply: cannot write " + path;
    return false;
  }
  return true;
}

bool write_program_mesh(const std::string& path, const BaseTriMesh& mesh, bool asciiPly, std::string& error) {
  std::string ext = std::filesystem::path(path).extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext != ".ply" || asciiPly) {
    if (write_mesh(mesh, path)) return true;
    error = "cannot write " + path;
    return false;
  }
  PlyContents contents;
  contents.vertexNormals = true;
  if (mesh.has_vNormal()) return write_binary_ply(path, mesh, contents, error);
  BaseTriMesh withNormals = mesh;
  withNormals.update_VNrv();
  return write_binary_ply(path, withNormals, contents, error);
}

Color3b distance_colour(double distance, double full) {
  if (std::isnan(distance)) return Color3b(150, 150, 150);
  const double t = full > 0 ? std::clamp(distance / full, 0.0, 1.0) : 1.0;
  // Blue -> green over the first half, green -> red over the second.
  const double r = t < 0.5 ? 0.0 : 2 * t - 1, g = t < 0.5 ? 2 * t : 2 - 2 * t, b = t < 0.5 ? 1 - 2 * t : 0.0;
  const auto byte = [](double x) { return static_cast<std::uint8_t>(std::lround(255 * x)); };
  return Color3b(byte(r), byte(g), byte(b));
}

}  // namespace TavoAlgorithm::apps

#include "face_colour_ply.h"

#include <Eigen/Core>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>

namespace autoscan_demo {

using namespace TavoAlgorithm;

bool write_face_colour_ply(const std::string& path, const BaseTriMesh& mesh,
                           const std::vector<Color3b>& faceColours, std::string& error) {
  if (static_cast<int>(faceColours.size()) != mesh.get_fn() || !mesh.faces_valid()) {
    error = "ply: " + std::to_string(faceColours.size()) + " colours for " + std::to_string(mesh.get_fn()) +
            " faces, or a face index outside the vertices";
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
      << "element vertex " << mesh.get_vn() << "\nproperty float x\nproperty float y\nproperty float z\n"
      << "element face " << mesh.get_fn() << "\nproperty list uchar int vertex_indices\n"
      << "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n";
  for (const auto& p : mesh.get_vCoords()) out.write(reinterpret_cast<const char*>(p.data()), 3 * sizeof(float));
  for (int f = 0; f < mesh.get_fn(); ++f) {
    char rec[1 + 3 * sizeof(std::int32_t) + 3];
    rec[0] = 3;
    std::memcpy(rec + 1, mesh.get_face(f).v.data(), 3 * sizeof(std::int32_t));
    std::memcpy(rec + 1 + 3 * sizeof(std::int32_t), faceColours[f].data(), 3);
    out.write(rec, sizeof(rec));
  }
  out.close();
  if (out.fail()) {
    error = "ply: cannot write " + path;
    return false;
  }
  return true;
}

std::vector<TavoAlgorithm::Color3b> coverage_colours(const std::vector<int>& firstView,
                                                     const std::vector<char>& reachable, int views) {
  using TavoAlgorithm::Color3b;
  const Eigen::Vector3d early(40, 70, 200), late(250, 210, 40);
  const Color3b missed(214, 39, 40), hidden(150, 150, 150);
  std::vector<Color3b> out(firstView.size(), hidden);
  for (std::size_t f = 0; f < firstView.size(); ++f) {
    if (firstView[f] > 0) {
      const double t = views > 1 ? std::clamp(static_cast<double>(firstView[f] - 1) / (views - 1), 0.0, 1.0) : 0.0;
      const Eigen::Vector3d c = early + t * (late - early);
      out[f] = Color3b(static_cast<std::uint8_t>(c.x()), static_cast<std::uint8_t>(c.y()),
                       static_cast<std::uint8_t>(c.z()));
    } else if (f < reachable.size() && reachable[f]) {
      out[f] = missed;
    }
  }
  return out;
}

}  // namespace autoscan_demo

#include "face_colour_ply.h"

#include <Eigen/Core>
#include <algorithm>
#include <cstdint>

#include "mesh_ply.h"

namespace autoscan_demo {

using namespace TavoAlgorithm;

bool write_face_colour_ply(const std::string& path, const BaseTriMesh& mesh,
                           const std::vector<Color3b>& faceColours, std::string& error) {
  apps::PlyContents contents;
  contents.faceColours = &faceColours;
  return apps::write_binary_ply(path, mesh, contents, error);
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

#include "calibration/TurntableFit.h"

#include <algorithm>

#include "geometry/RefPtsData.h"
#include "geometry/RigidFit.h"
#include "registration_platform/ShaftCenterLine.h"

namespace TavoAlgorithm::calibration {

namespace {
bool is_zero(const Eigen::Vector3f& p) { return p.x() == 0.f && p.y() == 0.f && p.z() == 0.f; }
}  // namespace

bool fit_turntable_axis(const MarkLists& lists, Eigen::Vector3d& direction, Eigen::Vector3d& point) {
  std::vector<const std::vector<Eigen::Vector3f>*> kept;
  for (const auto& l : lists)
    if (!l.empty()) kept.push_back(&l);
  if (kept.empty()) return false;

  std::vector<std::vector<RefPtsData>> groups(kept.size());
  int id = 0;
  for (std::size_t k = 0; k < kept.front()->size(); ++k) {
    const bool everywhere = std::all_of(kept.begin(), kept.end(), [k](const auto* l) {
      return k < l->size() && !is_zero((*l)[k]);
    });
    if (!everywhere) continue;
    for (std::size_t g = 0; g < kept.size(); ++g) groups[g].push_back({(*kept[g])[k].cast<double>(), id, 1.0});
    ++id;
  }
  std::vector<RigidMatrix> poses;
  return TavoRegistration::compute_shaft_center_line(groups, direction, point, poses);
}

std::vector<RigidMatrix> fit_turntable_motions(const MarkLists& lists) {
  std::vector<RigidMatrix> out(lists.size());
  for (std::size_t k = 1; k < lists.size(); ++k) {
    std::vector<Eigen::Vector3f> from, to;
    const std::size_t n = std::min(lists[0].size(), lists[k].size());
    for (std::size_t i = 0; i < n; ++i) {
      if (is_zero(lists[0][i]) || is_zero(lists[k][i])) continue;
      from.push_back(lists[k][i]);
      to.push_back(lists[0][i]);
    }
    out[k] = compute_rigid_matrix(from, to);
  }
  return out;
}

}  // namespace TavoAlgorithm::calibration

#include "PoseError.h"

#include <cmath>

#include "geometry/RigidFit.h"

namespace TavoAlgorithm::sim {

RigidMatrix random_pose_error(std::mt19937& rng, double degrees, double mm, const Eigen::Vector3d& centre) {
  std::normal_distribution<double> g;
  const Eigen::Vector3d axis = Eigen::Vector3d(g(rng), g(rng), g(rng)).normalized();
  const Eigen::Vector3d shift = Eigen::Vector3d(g(rng), g(rng), g(rng)).normalized() * mm;
  const Eigen::Matrix3d r = Eigen::AngleAxisd(degrees * M_PI / 180.0, axis).toRotationMatrix();
  return RigidMatrix(r, centre - r * centre + shift);
}

PoseDeviation pose_deviation(const RigidMatrix& m, const std::vector<Eigen::Vector3f>& points) {
  PoseDeviation d;
  double sum = 0.0;
  for (const auto& p : points) {
    const Eigen::Vector3d q = p.cast<double>();
    sum += (m * q - q).squaredNorm();
  }
  if (!points.empty()) d.rms = std::sqrt(sum / static_cast<double>(points.size()));
  d.degrees = Eigen::AngleAxisd(m.get_rotation()).angle() * 180.0 / M_PI;
  return d;
}

RigidMatrix gauge_fit(const std::vector<RigidMatrix>& moved, const std::vector<std::vector<Eigen::Vector3f>>& sets) {
  std::vector<Eigen::Vector3d> from, to;
  for (std::size_t i = 0; i < moved.size() && i < sets.size(); ++i)
    for (const auto& p : sets[i]) {
      to.push_back(p.cast<double>());
      from.push_back(moved[i] * to.back());
    }
  return compute_rigid_matrix(from, to);
}

}  // namespace TavoAlgorithm::sim

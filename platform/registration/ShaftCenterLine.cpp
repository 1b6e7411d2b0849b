#include "registration_platform/ShaftCenterLine.h"

#include <Eigen/Eigenvalues>
#include <Eigen/QR>
#include <cmath>
#include <map>

#include "geometry/RigidFit.h"

namespace TavoAlgorithm::TavoRegistration {

namespace {

constexpr int kMinSharedIds = 3;
// The displacement scatter must have a clear null direction: its smallest
// eigenvalue below this fraction of the middle one.
constexpr double kMaxPlanarity = 0.1;

struct Sample {
  Eigen::Vector3d pt;
  double weight;
};

}  // namespace

bool compute_shaft_center_line(const std::vector<std::vector<RefPtsData>>& groups,
                               Eigen::Vector3d& direction, Eigen::Vector3d& point,
                               std::vector<RigidMatrix>& poses) {
  if (groups.size() < 2) return false;
  std::map<int, std::vector<Sample>> byId;
  std::vector<std::map<int, Eigen::Vector3d>> groupPts(groups.size());
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (const auto& r : groups[g]) {
      if (!r.pt.allFinite() || !std::isfinite(r.weight) || r.weight <= 0.0) return false;
      byId[r.id].push_back({r.pt, r.weight});
      groupPts[g][r.id] = r.pt;
    }
  }

  // Poses relative to group 0 from the ids each group shares with it.
  std::vector<RigidMatrix> fitted(groups.size());
  for (std::size_t g = 1; g < groups.size(); ++g) {
    std::vector<Eigen::Vector3d> from, to;
    for (const auto& [id, p] : groupPts[0]) {
      const auto it = groupPts[g].find(id);
      if (it == groupPts[g].end()) continue;
      from.push_back(p);
      to.push_back(it->second);
    }
    if (static_cast<int>(from.size()) < kMinSharedIds || !try_compute_rigid_matrix(from, to, fitted[g]))
      return false;
  }

  // Direction: every displacement from a mark's mean lies in the plane of
  // its circle.
  Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
  Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
  double totalWeight = 0.0;
  std::vector<std::pair<Eigen::Vector3d, double>> means;  // per id: weighted mean, weight
  for (const auto& [id, samples] : byId) {
    if (samples.size() < 2) continue;
    Eigen::Vector3d mean = Eigen::Vector3d::Zero();
    double w = 0.0;
    for (const auto& s : samples) mean += s.weight * s.pt, w += s.weight;
    mean /= w;
    for (const auto& s : samples) scatter += s.weight * (s.pt - mean) * (s.pt - mean).transpose();
    centroid += w * mean;
    totalWeight += w;
  }
  if (!(totalWeight > 0.0)) return false;
  centroid /= totalWeight;
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig(scatter);
  if (eig.info() != Eigen::Success || !(eig.eigenvalues()(1) > 0.0) ||
      eig.eigenvalues()(0) > kMaxPlanarity * eig.eigenvalues()(1))
    return false;
  Eigen::Vector3d d = eig.eigenvectors().col(0).normalized();
  // Right-hand sign from the rotation of the first motion.
  const Eigen::AngleAxisd firstTurn(fitted[1].get_rotation());
  if (firstTurn.axis().dot(d) * firstTurn.angle() < 0.0) d = -d;

  // Point: |c - p|^2 equal along each circle gives, after removing each
  // mark's mean of |p|^2, 2 (p - mean) . c = |p|^2 - mean(|p|^2); the gauge
  // row puts c at the centroid's height along the axis.
  std::vector<Eigen::RowVector3d> rows;
  std::vector<double> rhs;
  for (const auto& [id, samples] : byId) {
    if (samples.size() < 2) continue;
    Eigen::Vector3d mean = Eigen::Vector3d::Zero();
    double meanSq = 0.0, w = 0.0;
    for (const auto& s : samples) mean += s.weight * s.pt, meanSq += s.weight * s.pt.squaredNorm(), w += s.weight;
    mean /= w;
    meanSq /= w;
    for (const auto& s : samples) {
      const double sw = std::sqrt(s.weight);
      rows.push_back(sw * 2.0 * (s.pt - mean).transpose());
      rhs.push_back(sw * (s.pt.squaredNorm() - meanSq));
    }
  }
  Eigen::MatrixXd A(rows.size() + 1, 3);
  Eigen::VectorXd b(rows.size() + 1);
  double rowScale = 0.0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    A.row(static_cast<Eigen::Index>(i)) = rows[i];
    b(static_cast<Eigen::Index>(i)) = rhs[i];
    rowScale = std::max(rowScale, rows[i].norm());
  }
  A.row(A.rows() - 1) = rowScale * d.transpose();
  b(b.size() - 1) = rowScale * d.dot(centroid);
  const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(A);
  if (qr.rank() < 3) return false;
  const Eigen::Vector3d c = qr.solve(b);
  if (!c.allFinite()) return false;

  direction = d;
  point = c;
  poses = std::move(fitted);
  return true;
}

}  // namespace TavoAlgorithm::TavoRegistration

// Registration on Open3D: point-to-plane ICP (Open3D's k-d tree search and
// point-to-plane estimation, with the normal and trimming rejections of our
// settings between them) for every overlapping pair, then Open3D's pose-graph
// optimisation (Levenberg-Marquardt with line processes that prune wrong
// pairs) over all pairs at once.
#include <open3d/geometry/KDTreeFlann.h>
#include <open3d/geometry/PointCloud.h>
#include <open3d/pipelines/registration/GlobalOptimization.h>
#include <open3d/pipelines/registration/GlobalOptimizationConvergenceCriteria.h>
#include <open3d/pipelines/registration/GlobalOptimizationMethod.h>
#include <open3d/pipelines/registration/PoseGraph.h>
#include <open3d/pipelines/registration/TransformationEstimation.h>
#include <open3d/utility/Logging.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <queue>

#include "engine/RegistrationEngine.h"

namespace TavoAlgorithm::TavoRegistration {

namespace {

namespace reg = open3d::pipelines::registration;
using open3d::geometry::KDTreeFlann;
using open3d::geometry::PointCloud;
using Matrix6d = Eigen::Matrix<double, 6, 6>;

// The coarse-to-fine schedule starts at this multiple of the final distance.
constexpr double kCoarseStartFactor = 8.0;
// Pairs whose sampled points find a partner this often at half the start
// distance are registered; a pair matching less than kMinPairFitness at the
// final distance afterwards is left out of the graph: below that, ICP of
// partial views often settles in a wrong minimum. register_pair refuses a fit
// below kMinSourceFitness.
constexpr double kMinCandidateOverlap = 0.1;
constexpr double kMinPairFitness = 0.3;
constexpr double kMinSourceFitness = 0.1;
// Pose-graph pruning: a loop edge whose line process falls below this is
// dropped (Open3D's default).
constexpr double kEdgePruneThreshold = 0.25;

// A frame: every point with a search tree, and the sampled points.
struct Prepared {
  PointCloud all, sampled;
  KDTreeFlann tree;
};

void append(const FrameView& f, const Eigen::Matrix4d& place, int step, Prepared& out) {
  const Eigen::Matrix3d r = place.topLeftCorner<3, 3>();
  const Eigen::Vector3d t = place.topRightCorner<3, 1>();
  for (std::size_t i = 0; i < f.points->size(); ++i) {
    const Eigen::Vector3d p = r * (*f.points)[i].cast<double>() + t;
    const Eigen::Vector3d n = r * (*f.normals)[i].cast<double>();
    if (i % static_cast<std::size_t>(step) == 0) {
      out.sampled.points_.push_back(p);
      out.sampled.normals_.push_back(n);
    }
    out.all.points_.push_back(p);
    out.all.normals_.push_back(n);
  }
}

void finish(Prepared& p) { p.tree.SetGeometry(p.all); }

double cos_angle(const RegistrationSettings& s) { return std::cos(s.maxNormalAngle * M_PI / 180.0); }

// Correspondences of source's samples moved by `m` in target within `dist`
// whose normals agree within the settings' angle, trimmed when asked.
struct Matches {
  reg::CorrespondenceSet pairs;
  std::vector<double> squared;
  double sumSquared = 0.0;
  double fitness = 0.0;  // matched share of the samples, before trimming
};

Matches match(const Prepared& source, const Prepared& target, const Eigen::Matrix4d& m, double dist,
              const RegistrationSettings& s) {
  Matches out;
  const Eigen::Matrix3d r = m.topLeftCorner<3, 3>();
  const Eigen::Vector3d t = m.topRightCorner<3, 1>();
  const double cosAngle = cos_angle(s);
  std::vector<int> index(1);
  std::vector<double> sq(1);
  const auto& pts = source.sampled.points_;
  for (std::size_t k = 0; k < pts.size(); ++k) {
    const Eigen::Vector3d q = r * pts[k] + t;
    if (target.tree.SearchKNN(q, 1, index, sq) != 1 || !(sq[0] <= dist * dist)) continue;
    if ((r * source.sampled.normals_[k]).dot(target.all.normals_[static_cast<std::size_t>(index[0])]) < cosAngle)
      continue;
    out.pairs.emplace_back(static_cast<int>(k), index[0]);
    out.squared.push_back(sq[0]);
  }
  out.fitness = pts.empty() ? 0.0 : static_cast<double>(out.pairs.size()) / pts.size();
  if (s.trimmed) {
    const auto keep = static_cast<std::size_t>(std::ceil(s.trimRatio * out.pairs.size()));
    std::vector<std::size_t> order(out.pairs.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return out.squared[a] < out.squared[b]; });
    reg::CorrespondenceSet pairs;
    std::vector<double> squared;
    for (std::size_t i = 0; i < keep && i < order.size(); ++i) {
      pairs.push_back(out.pairs[order[i]]);
      squared.push_back(out.squared[order[i]]);
    }
    out.pairs.swap(pairs);
    out.squared.swap(squared);
  }
  for (double d : out.squared) out.sumSquared += d;
  return out;
}

// Point-to-plane information of a fit: sum of J^T J with J = [p x n, n] per
// correspondence (rotation first, as Open3D orders the pose graph's errors).
// It is weak along directions in which the surfaces can slide, which the
// pose graph must know, unlike the point-to-point information.
Matrix6d information(const Prepared& target, const Matches& mt) {
  Matrix6d info = Matrix6d::Zero();
  for (const auto& c : mt.pairs) {
    const Eigen::Vector3d& q = target.all.points_[static_cast<std::size_t>(c(1))];
    const Eigen::Vector3d& n = target.all.normals_[static_cast<std::size_t>(c(1))];
    Eigen::Matrix<double, 6, 1> j;
    j << q.cross(n), n;
    info += j * j.transpose();
  }
  return info;
}

// Point-to-plane (or point-to-point) ICP of source's samples onto target
// from `m`, coarse to fine.
Eigen::Matrix4d icp(const Prepared& source, const Prepared& target, Eigen::Matrix4d m,
                    const RegistrationSettings& s) {
  std::vector<double> levels;
  if (s.coarseToFine)
    for (double d = kCoarseStartFactor * s.maxDistance; d > s.maxDistance * 1.01; d *= 0.5) levels.push_back(d);
  levels.push_back(s.maxDistance);
  const reg::TransformationEstimationPointToPlane toPlane;
  const reg::TransformationEstimationPointToPoint toPoint(false);
  const reg::TransformationEstimation& estimate =
      s.pointToPlane ? static_cast<const reg::TransformationEstimation&>(toPlane) : toPoint;
  PointCloud moved;
  for (const double dist : levels) {
    double fitness = 0.0, rms = 0.0;
    for (int it = 0; it < s.maxIterations; ++it) {
      const Matches mt = match(source, target, m, dist, s);
      if (mt.pairs.size() < 6) break;
      const double newRms = std::sqrt(mt.sumSquared / mt.pairs.size());
      if (it > 0 && std::abs(mt.fitness - fitness) <= s.convergence * fitness &&
          std::abs(newRms - rms) <= s.convergence * rms)
        break;
      fitness = mt.fitness;
      rms = newRms;
      moved = source.sampled;
      moved.Transform(m);
      m = estimate.ComputeTransformation(moved, target.all, mt.pairs) * m;
    }
  }
  return m;
}

struct PairEdge {
  int source, target;
  Eigen::Matrix4d relative;  // source as sent -> target as sent
  Matrix6d info;
  double fitness;
};

class Open3DRegistrationEngine final : public RegistrationEngine {
 public:
  Open3DRegistrationEngine() { open3d::utility::SetVerbosityLevel(open3d::utility::VerbosityLevel::Error); }

  bool register_pair(const std::vector<FrameView>& sources, const std::vector<FrameView>& targets,
                     const RegistrationSettings& s, Eigen::Matrix4d& correction, double& rms) const override {
    Prepared source, target;
    for (const FrameView& f : sources) append(f, Eigen::Matrix4d::Identity(), s.sampleStep, source);
    for (const FrameView& f : targets) append(f, f.correction, 1, target);
    finish(target);
    const Eigen::Matrix4d m = icp(source, target, correction, s);
    const Matches final = match(source, target, m, s.maxDistance, s);
    if (final.fitness < kMinSourceFitness || final.pairs.empty()) return false;
    correction = m;
    rms = std::sqrt(final.sumSquared / static_cast<double>(final.pairs.size()));
    return true;
  }

  bool register_global(const std::vector<FrameView>& frames, const RegistrationSettings& s,
                       std::vector<Eigen::Matrix4d>& corrections, double& rms) const override {
    const int n = static_cast<int>(frames.size());
    std::vector<Prepared> prepared(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      append(frames[i], Eigen::Matrix4d::Identity(), s.sampleStep, prepared[i]);
      finish(prepared[i]);
    }
    std::vector<Eigen::Matrix4d> c(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) c[i] = frames[i].correction;
    std::vector<PairEdge> edges = pair_edges(prepared, c, s);

    // Frames linked to the anchor; the strongest pairs that link them form
    // the tree whose edges the optimisation keeps, the others may be pruned.
    std::sort(edges.begin(), edges.end(), [](const PairEdge& a, const PairEdge& b) { return a.fitness > b.fitness; });
    std::vector<int> group(static_cast<std::size_t>(n));
    std::iota(group.begin(), group.end(), 0);
    const auto root = [&](int x) {
      while (group[x] != x) x = group[x] = group[group[x]];
      return x;
    };
    std::vector<char> inTree(edges.size(), 0);
    for (std::size_t e = 0; e < edges.size(); ++e) {
      const int a = root(edges[e].source), b = root(edges[e].target);
      if (a == b) continue;
      group[a] = b;
      inTree[e] = 1;
    }
    std::vector<int> node(static_cast<std::size_t>(n), -1), frameOf;
    for (int i = 0; i < n; ++i)
      if (root(i) == root(0)) {
        node[i] = static_cast<int>(frameOf.size());
        frameOf.push_back(i);
      }

    if (frameOf.size() > 1) {
      reg::PoseGraph graph;
      for (const int f : frameOf) graph.nodes_.emplace_back(c[f]);
      for (std::size_t e = 0; e < edges.size(); ++e) {
        if (node[edges[e].source] < 0) continue;
        graph.edges_.emplace_back(node[edges[e].source], node[edges[e].target], edges[e].relative, edges[e].info,
                                  !inTree[e]);
      }
      reg::GlobalOptimizationConvergenceCriteria criteria;
      criteria.max_iteration_ = std::max(criteria.max_iteration_, s.maxIterations);
      const reg::GlobalOptimizationOption option(s.maxDistance, kEdgePruneThreshold, 1.0, 0);
      reg::GlobalOptimization(graph, reg::GlobalOptimizationLevenbergMarquardt(), criteria, option);
      // The anchor keeps its correction exactly.
      const Eigen::Matrix4d fix = c[0] * graph.nodes_[0].pose_.inverse();
      for (std::size_t k = 0; k < frameOf.size(); ++k) c[frameOf[k]] = fix * graph.nodes_[k].pose_;
    }

    double sum = 0.0;
    std::size_t count = 0;
    for (const PairEdge& e : edges) {
      const Matches m = match(prepared[e.source], prepared[e.target], c[e.target].inverse() * c[e.source],
                              s.maxDistance, s);
      sum += m.sumSquared;
      count += m.pairs.size();
    }
    rms = count > 0 ? std::sqrt(sum / static_cast<double>(count)) : 0.0;
    corrections = std::move(c);
    return true;
  }

 private:
  // Registers every pair that overlaps at the current corrections; keeps
  // those that match well afterwards.
  static std::vector<PairEdge> pair_edges(const std::vector<Prepared>& frames, const std::vector<Eigen::Matrix4d>& c,
                                          const RegistrationSettings& s) {
    const int n = static_cast<int>(frames.size());
    const double probe = (s.coarseToFine ? 0.5 * kCoarseStartFactor : 1.0) * s.maxDistance;
    std::vector<std::pair<int, int>> candidates;
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j) {
        const double a = match(frames[i], frames[j], c[j].inverse() * c[i], probe, s).fitness;
        const double b = match(frames[j], frames[i], c[i].inverse() * c[j], probe, s).fitness;
        if (std::max(a, b) >= kMinCandidateOverlap) candidates.emplace_back(i, j);
      }
    std::vector<PairEdge> edges(candidates.size());
#pragma omp parallel for schedule(dynamic)
    for (int k = 0; k < static_cast<int>(candidates.size()); ++k) {
      const auto [i, j] = candidates[static_cast<std::size_t>(k)];
      PairEdge& e = edges[static_cast<std::size_t>(k)];
      e.source = i;
      e.target = j;
      e.relative = icp(frames[i], frames[j], c[j].inverse() * c[i], s);
      const Matches m = match(frames[i], frames[j], e.relative, s.maxDistance, s);
      e.fitness = m.fitness;
      e.info = information(frames[j], m);
    }
    edges.erase(std::remove_if(edges.begin(), edges.end(), [](const PairEdge& e) { return e.fitness < kMinPairFitness; }),
                edges.end());
    return edges;
  }
};

}  // namespace

}  // namespace TavoAlgorithm::TavoRegistration

extern "C" __attribute__((visibility("default"))) const TavoAlgorithm::TavoRegistration::RegistrationEngine*
tavo_registration_engine() {
  static const TavoAlgorithm::TavoRegistration::Open3DRegistrationEngine engine;
  return &engine;
}

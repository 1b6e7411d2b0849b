// The peer of the registration benchmark: the same registration built on PCL,
// point-to-plane ICP (pcl::IterativeClosestPoint with
// the linearised point-to-plane estimate and normal and trimming rejectors)
// for each overlapping pair, then the Lu-Milios graph optimisation
// (pcl::registration::LUM) over all pairs at once, its correspondences taken
// again at the optimised poses for a few rounds.
#include <pcl/common/eigen.h>
#include <pcl/console/print.h>
#include <pcl/point_types.h>
#include <pcl/registration/correspondence_rejection_surface_normal.h>
#include <pcl/registration/correspondence_rejection_trimmed.h>
#include <pcl/registration/icp.h>
#include <pcl/registration/lum.h>
#include <pcl/registration/transformation_estimation_point_to_plane_lls.h>
#include <pcl/search/kdtree.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <queue>

#include "PclRegistrationEngine.h"

namespace TavoAlgorithm::bench {

using TavoRegistration::FrameView;
using TavoRegistration::RegistrationEngine;
using TavoRegistration::RegistrationSettings;

namespace {

using Point = pcl::PointNormal;
using PointCloud = pcl::PointCloud<Point>;
using Tree = pcl::search::KdTree<Point>;

// The coarse-to-fine schedule starts at this multiple of the final distance.
constexpr float kCoarseStartFactor = 8.f;
// Pairs whose sampled points find a partner this often at the start distance
// are registered; pairs matching less than kMinPairFitness at the final
// distance after registration are dropped from the graph (and refused by
// register_pair): below that, ICP on partial views settles in wrong minima.
constexpr double kMinCandidateOverlap = 0.1;
constexpr double kMinPairFitness = 0.3;
constexpr double kMinSourceFitness = 0.1;
// Rounds of the graph optimisation; each takes its correspondences at the
// poses the previous one found.
constexpr int kGraphRounds = 5;

Point make_point(const Eigen::Vector3f& p, const Eigen::Vector3f& n) {
  Point q;
  q.getVector3fMap() = p;
  q.getNormalVector3fMap() = n;
  q.curvature = 0.f;
  return q;
}

// A frame in its as-sent coordinates: every point (with a search tree) and the
// sampled ones, with their indices among all.
struct Prepared {
  PointCloud::Ptr all{new PointCloud};
  PointCloud::Ptr sampled{new PointCloud};
  std::vector<int> sampledIndex;
  Tree::Ptr tree{new Tree};
};

void append(const FrameView& f, const Eigen::Matrix4d& place, int step, Prepared& out) {
  const Eigen::Matrix3f r = place.topLeftCorner<3, 3>().cast<float>();
  const Eigen::Vector3f t = place.topRightCorner<3, 1>().cast<float>();
  for (std::size_t i = 0; i < f.points->size(); ++i) {
    const Point q = make_point(r * (*f.points)[i] + t, r * (*f.normals)[i]);
    if (i % static_cast<std::size_t>(step) == 0) {
      out.sampledIndex.push_back(static_cast<int>(out.all->size()));
      out.sampled->push_back(q);
    }
    out.all->push_back(q);
  }
}

void finish(Prepared& p) { p.tree->setInputCloud(p.all); }

// Matches of `source` moved by `m` on `target` within `dist` whose normals
// agree within the angle; indices are source-sampled and target-all.
struct Matches {
  pcl::Correspondences pairs;
  double sumSquared = 0.0;
};

Matches match(const Prepared& source, const Prepared& target, const Eigen::Matrix4d& m, double dist,
              double cosAngle) {
  Matches out;
  const Eigen::Matrix3f r = m.topLeftCorner<3, 3>().cast<float>();
  const Eigen::Vector3f t = m.topRightCorner<3, 1>().cast<float>();
  std::vector<int> index(1);
  std::vector<float> sq(1);
  const float limit = static_cast<float>(dist * dist);
  for (std::size_t k = 0; k < source.sampled->size(); ++k) {
    const Point& s = (*source.sampled)[k];
    Point q;
    q.getVector3fMap() = r * s.getVector3fMap() + t;
    if (target.tree->nearestKSearch(q, 1, index, sq) != 1 || !(sq[0] <= limit)) continue;
    const Point& hit = (*target.all)[static_cast<std::size_t>(index[0])];
    if ((r * s.getNormalVector3fMap()).dot(hit.getNormalVector3fMap()) < cosAngle) continue;
    out.pairs.emplace_back(static_cast<int>(k), index[0], sq[0]);
    out.sumSquared += sq[0];
  }
  return out;
}

double fitness(const Matches& m, const Prepared& source) {
  return source.sampled->empty() ? 0.0 : static_cast<double>(m.pairs.size()) / source.sampled->size();
}

double cos_angle(const RegistrationSettings& s) { return std::cos(s.maxNormalAngle * M_PI / 180.0); }

// Keeps the closest `ratio` of the matches.
void trim(Matches& m, double ratio) {
  const auto keep = static_cast<std::size_t>(std::ceil(ratio * m.pairs.size()));
  if (keep >= m.pairs.size()) return;
  std::nth_element(m.pairs.begin(), m.pairs.begin() + static_cast<std::ptrdiff_t>(keep), m.pairs.end(),
                   [](const pcl::Correspondence& a, const pcl::Correspondence& b) { return a.distance < b.distance; });
  m.pairs.resize(keep);
  m.sumSquared = 0.0;
  for (const auto& c : m.pairs) m.sumSquared += c.distance;
}

// ICP of source's samples onto target from `m`, coarse to fine.
Eigen::Matrix4d icp(const Prepared& source, const Prepared& target, Eigen::Matrix4d m,
                    const RegistrationSettings& s) {
  std::vector<float> levels;
  if (s.coarseToFine)
    for (float d = kCoarseStartFactor * s.maxDistance; d > s.maxDistance * 1.01f; d *= 0.5f) levels.push_back(d);
  levels.push_back(s.maxDistance);
  for (const float dist : levels) {
    pcl::IterativeClosestPoint<Point, Point> reg;
    if (s.pointToPlane)
      reg.setTransformationEstimation(
          std::make_shared<pcl::registration::TransformationEstimationPointToPlaneLLS<Point, Point>>());
    reg.setInputSource(source.sampled);
    reg.setInputTarget(target.all);
    reg.setSearchMethodTarget(target.tree, true);
    reg.setMaxCorrespondenceDistance(dist);
    reg.setMaximumIterations(s.maxIterations);
    reg.setTransformationEpsilon(s.convergence);
    reg.setEuclideanFitnessEpsilon(s.convergence);
    auto normals = std::make_shared<pcl::registration::CorrespondenceRejectorSurfaceNormal>();
    normals->setThreshold(static_cast<float>(cos_angle(s)));
    reg.addCorrespondenceRejector(normals);
    if (s.trimmed) {
      auto trimmed = std::make_shared<pcl::registration::CorrespondenceRejectorTrimmed>();
      trimmed->setOverlapRatio(static_cast<float>(s.trimRatio));
      reg.addCorrespondenceRejector(trimmed);
    }
    PointCloud aligned;
    reg.align(aligned, m.cast<float>());
    if (reg.hasConverged()) m = reg.getFinalTransformation().cast<double>();
  }
  return m;
}

Eigen::Vector6f to_lum_pose(const Eigen::Matrix4d& m) {
  Eigen::Affine3f a(m.cast<float>());
  Eigen::Vector6f v;
  pcl::getTranslationAndEulerAngles(a, v(0), v(1), v(2), v(3), v(4), v(5));
  return v;
}

struct PairEdge {
  int source, target;
  Eigen::Matrix4d relative;  // source as sent -> target as sent
};

class PclRegistrationEngine final : public RegistrationEngine {
 public:
  PclRegistrationEngine() { pcl::console::setVerbosityLevel(pcl::console::L_ALWAYS); }

  bool register_pair(const std::vector<FrameView>& sources, const std::vector<FrameView>& targets,
                     const RegistrationSettings& s, Eigen::Matrix4d& correction, double& rms) const override {
    Prepared source, target;
    for (const FrameView& f : sources) append(f, Eigen::Matrix4d::Identity(), s.sampleStep, source);
    for (const FrameView& f : targets) append(f, f.correction, 1, target);
    finish(source);
    finish(target);
    const Eigen::Matrix4d m = icp(source, target, correction, s);
    Matches final = match(source, target, m, s.maxDistance, cos_angle(s));
    if (fitness(final, source) < kMinSourceFitness) return false;
    if (s.trimmed) trim(final, s.trimRatio);
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
    const std::vector<PairEdge> edges = pair_edges(prepared, c, s);

    // Frames that the pairs link to the anchor; the rest keep their poses.
    std::vector<int> vertex(static_cast<std::size_t>(n), -1), frameOf;
    std::queue<int> open;
    vertex[0] = 0;
    frameOf.push_back(0);
    open.push(0);
    while (!open.empty()) {
      const int f = open.front();
      open.pop();
      for (const PairEdge& e : edges) {
        const int other = e.source == f ? e.target : (e.target == f ? e.source : -1);
        if (other < 0 || vertex[other] >= 0) continue;
        vertex[other] = static_cast<int>(frameOf.size());
        frameOf.push_back(other);
        open.push(other);
      }
    }

    if (frameOf.size() > 1) {
      // LUM fixes its vertex 0 at the identity: poses relative to the anchor.
      const Eigen::Matrix4d anchor = c[0];
      const Eigen::Matrix4d toAnchor = anchor.inverse();
      pcl::registration::LUM<Point> lum;
      lum.setMaxIterations(s.maxIterations);
      lum.setConvergenceThreshold(static_cast<float>(s.convergence));
      for (const int f : frameOf) lum.addPointCloud(prepared[f].all, to_lum_pose(toAnchor * c[f]));
      for (int round = 0; round < kGraphRounds; ++round) {
        for (const PairEdge& e : edges) {
          if (vertex[e.source] < 0) continue;
          // The first round takes the pairs as registered, later ones at the
          // optimised poses.
          const Eigen::Matrix4d rel = round == 0 ? e.relative : c[e.target].inverse() * c[e.source];
          Matches m = match(prepared[e.source], prepared[e.target], rel, s.maxDistance, cos_angle(s));
          if (s.trimmed) trim(m, s.trimRatio);
          auto corr = std::make_shared<pcl::Correspondences>();
          corr->reserve(m.pairs.size());
          for (const auto& p : m.pairs)
            corr->emplace_back(prepared[e.source].sampledIndex[static_cast<std::size_t>(p.index_query)],
                               p.index_match, p.distance);
          lum.setCorrespondences(vertex[e.source], vertex[e.target], corr);
        }
        lum.compute();
        for (std::size_t v = 1; v < frameOf.size(); ++v)
          c[frameOf[v]] = anchor * lum.getTransformation(static_cast<int>(v)).matrix().cast<double>();
      }
    }

    double sum = 0.0;
    std::size_t count = 0;
    for (const PairEdge& e : edges) {
      const Matches m = match(prepared[e.source], prepared[e.target], c[e.target].inverse() * c[e.source],
                              s.maxDistance, cos_angle(s));
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
    const double probe = (s.coarseToFine ? kCoarseStartFactor : 1.f) * s.maxDistance;
    std::vector<std::pair<int, int>> candidates;
    for (int i = 0; i < n; ++i)
      for (int j = i + 1; j < n; ++j) {
        const double a = fitness(match(frames[i], frames[j], c[j].inverse() * c[i], probe, cos_angle(s)), frames[i]);
        const double b = fitness(match(frames[j], frames[i], c[i].inverse() * c[j], probe, cos_angle(s)), frames[j]);
        if (std::max(a, b) >= kMinCandidateOverlap) candidates.emplace_back(i, j);
      }
    std::vector<PairEdge> edges(candidates.size());
    std::vector<char> keep(candidates.size(), 0);
#pragma omp parallel for schedule(dynamic)
    for (int k = 0; k < static_cast<int>(candidates.size()); ++k) {
      const auto [i, j] = candidates[static_cast<std::size_t>(k)];
      const Eigen::Matrix4d rel = icp(frames[i], frames[j], c[j].inverse() * c[i], s);
      const double f = fitness(match(frames[i], frames[j], rel, s.maxDistance, cos_angle(s)), frames[i]);
      edges[static_cast<std::size_t>(k)] = {i, j, rel};
      keep[static_cast<std::size_t>(k)] = f >= kMinPairFitness;
    }
    std::vector<PairEdge> kept;
    for (std::size_t k = 0; k < edges.size(); ++k)
      if (keep[k]) kept.push_back(edges[k]);
    return kept;
  }
};

}  // namespace

const RegistrationEngine& pcl_registration_engine() {
  static const PclRegistrationEngine engine;
  return engine;
}

}  // namespace TavoAlgorithm::bench

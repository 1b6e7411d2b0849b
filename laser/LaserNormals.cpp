// Normals of laser points from the shape of the scan around them: points
// binned into cells, each cell's block of 3 x 3 x 3 cells gives a scatter
// matrix whose weakest direction is the normal, turned to face the scanner.
#include <omp.h>
#include <tbb/parallel_sort.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "LaserBatchFusion.h"
#include "Parallel.h"
#include "common/console.h"
#include "common/kd_points.h"
#include "common/trace/Trace.h"
#include "geometry/SymmetricEigen3.h"

namespace TavoAlgorithm {
namespace {
constexpr float kLargest = 3.4028235e38f;
constexpr float kShiftEpsilon = 1e-5f;
constexpr float kRunGapFactor = 1.5f;
constexpr double kOwnCellWeight = 0.5;
constexpr int kMinBlockPoints = 6;
// Smallest over middle eigenvalue: above it the block is no surface.
constexpr double kMaxFlatness = 0.3;
// Below this many cells a direct search beats building a k-d tree.
constexpr std::size_t kTreeCells = 500;
constexpr int kCellBits = 21;
constexpr std::int64_t kCellLimit = std::int64_t(1) << kCellBits;

struct PointRef {
  std::uint64_t key;
  std::uint32_t frame, line, index;
  bool operator<(const PointRef& o) const {
    if (key != o.key) return key < o.key;
    if (frame != o.frame) return frame < o.frame;
    if (line != o.line) return line < o.line;
    return index < o.index;
  }
};

// Per occupied cell: its points' count, mean (local to the grid origin) and
// scatter about that mean and the sum of their d d^T.
struct CellStats {
  Eigen::Vector3i cell;
  int count = 0;
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
  Eigen::Matrix3d directions = Eigen::Matrix3d::Zero();
  Eigen::Vector3f normal = Eigen::Vector3f::Zero();
};

std::uint64_t cell_key(const Eigen::Vector3i& c) {
  return static_cast<std::uint64_t>(c.x()) | (static_cast<std::uint64_t>(c.y()) << kCellBits) |
         (static_cast<std::uint64_t>(c.z()) << (2 * kCellBits));
}

bool finite_pose(const RigidMatrix& rt) {
  return rt.get_rotation().allFinite() && rt.get_translation().allFinite();
}

// Unit direction along the line at each point: the mean of the directions to
// its neighbours in the same run; zero for a point alone in its run or not
// finite.
void line_directions(const std::vector<Eigen::Vector3f>& p, float maxGap, std::vector<Eigen::Vector3f>& d) {
  d.assign(p.size(), Eigen::Vector3f::Zero());
  for (std::size_t j = 0; j + 1 < p.size(); ++j) {
    const Eigen::Vector3f step = p[j + 1] - p[j];
    const float len = step.norm();
    if (!(len > 0.f) || !(len <= maxGap)) continue;  // NaN ends the run too
    const Eigen::Vector3f u = step / len;
    d[j] += u;
    d[j + 1] += u;
  }
  for (Eigen::Vector3f& v : d) {
    const float n = v.norm();
    v = n > 0.f ? Eigen::Vector3f(v / n) : Eigen::Vector3f::Zero();
  }
}



// For each cell, the indices of the occupied cells of its 3 x 3 x 3 block
// (itself included).
std::vector<std::vector<std::uint32_t>> cell_blocks(const std::vector<CellStats>& cells) {
  std::vector<std::vector<std::uint32_t>> blocks(cells.size());
  KdPoints centres;
  centres.pts.reserve(cells.size());
  for (const CellStats& c : cells) centres.pts.push_back(c.cell.cast<float>());
  const auto in_block = [&](std::size_t a, std::size_t b) {
    return ((cells[a].cell - cells[b].cell).array().abs() <= 1).all();
  };
  if (cells.size() < kTreeCells) {
    for (std::size_t a = 0; a < cells.size(); ++a)
      for (std::size_t b = 0; b < cells.size(); ++b)
        if (in_block(a, b)) blocks[a].push_back(static_cast<std::uint32_t>(b));
    return blocks;
  }
  KdPointTree tree(3, centres, nanoflann::KDTreeSingleIndexAdaptorParams(16));
  tree.buildIndex();
  // The 26 neighbours lie within a squared distance of 3, the next cells out at 4.
  const float radius2 = 3.5f;
  auxilary_tbb_for(omp_get_max_threads(), 0, cells.size(), [&](std::size_t a) {
    std::vector<std::pair<std::uint32_t, float>> found;
    tree.radiusSearch(centres.pts[a].data(), radius2, found, nanoflann::SearchParams(32, 0.f, false));
    for (const auto& f : found)
      if (in_block(a, f.first)) blocks[a].push_back(f.first);
  });
  return blocks;
}

// Weighted block of a cell: the parallel-axis sum of the cells' scatters
// about the block mean, plus the line directions at a quarter of a cell
// squared, so that a line through the block also counts as extent along it.
bool block_normal(const std::vector<CellStats>& cells, const std::vector<std::uint32_t>& block, std::size_t self,
                  float pointdis, Eigen::Vector3f& normal) {
  double w = 0;
  int points = 0;
  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  for (std::uint32_t b : block) {
    const double wb = (b == self ? kOwnCellWeight : 1.0) * cells[b].count;
    w += wb;
    points += cells[b].count;
    mean += wb * cells[b].mean;
  }
  if (points < kMinBlockPoints || !(w > 0)) return false;
  mean /= w;
  Eigen::Matrix3d m = Eigen::Matrix3d::Zero(), dirs = Eigen::Matrix3d::Zero();
  for (std::uint32_t b : block) {
    const double cw = b == self ? kOwnCellWeight : 1.0;
    const Eigen::Vector3d off = cells[b].mean - mean;
    m += cw * (cells[b].scatter + cells[b].count * off * off.transpose());
    dirs += cw * cells[b].directions;
  }
  const double quarterCell2 = 0.25 * static_cast<double>(pointdis) * pointdis;
  m = (m + quarterCell2 * dirs) / w;
  const SymmetricEigen3T<double> eig = symmetric_eigen3(m);
  if (!eig.values.allFinite() || !(eig.values[0] < kMaxFlatness * eig.values[1])) return false;
  normal = eig.smallest.cast<float>();
  return true;
}

RetVal estimate_normals(std::vector<std::vector<Cloud>>& frameLines, const std::vector<RigidMatrix>& vecRT,
                        float pointdis, const RigidMatrix& leftMat, const RigidMatrix& rightMat, BoundingBox& bbox,
                        const Eigen::Vector3f& shift) {
  const std::size_t nf = frameLines.size();
  const int workers = omp_get_max_threads();
  // The scanner's middle, between the laser camera and the second camera.
  const Eigen::Vector3d second = (leftMat * rightMat.inverse()).get_translation();
  const Eigen::Vector3f scannerMid = (0.5 * second).cast<float>();
  if (!scannerMid.allFinite()) {
    TAVO_LOG_ERROR("stereo relation is not finite");
    return RETVAL_FAILED;
  }

  // World points and line directions; the clouds keep their camera points.
  std::vector<std::vector<std::vector<Eigen::Vector3f>>> world(nf), dirs(nf);
  std::vector<BoundingBox> boxes(nf);
  const float maxGap = kRunGapFactor * pointdis;
  auxilary_tbb_for(workers, 0, nf, [&](std::size_t i) {
    world[i].resize(frameLines[i].size());
    dirs[i].resize(frameLines[i].size());
    for (std::size_t j = 0; j < frameLines[i].size(); ++j) {
      const std::vector<Eigen::Vector3f>& p = frameLines[i][j].get_vCoords();
      std::vector<Eigen::Vector3f>& w = world[i][j];
      w.resize(p.size());
      for (std::size_t k = 0; k < p.size(); ++k) {
        w[k] = vecRT[i] * p[k];
        if (w[k].allFinite()) boxes[i].extend(w[k]);
      }
      line_directions(w, maxGap, dirs[i][j]);
    }
  });
  BoundingBox box(Eigen::Vector3f::Constant(kLargest), Eigen::Vector3f::Constant(-kLargest));
  bool any = false;
  for (const BoundingBox& b : boxes)
    if (!b.empty()) {
      box.extend(b.min_corner());
      box.extend(b.max_corner());
      any = true;
    }
  if (!any) {
    TAVO_LOG_ERROR("no finite laser point");
    return RETVAL_FAILED;
  }
  if ((shift.array().abs() > kShiftEpsilon).any()) {
    box.minX = shift.x();
    box.minY = shift.y();
    box.minZ = shift.z();
  }
  const Eigen::Vector3f origin = box.min_corner();

  // Points binned by cell, in a fixed order so that the sums do not depend
  // on the schedule.
  std::vector<std::vector<PointRef>> perFrame(nf);
  auxilary_tbb_for(workers, 0, nf, [&](std::size_t i) {
    for (std::size_t j = 0; j < world[i].size(); ++j)
      for (std::size_t k = 0; k < world[i][j].size(); ++k) {
        const Eigen::Vector3f g = (world[i][j][k] - origin) / pointdis;
        if (!g.allFinite() || (g.array() < 0.f).any() || (g.array() >= static_cast<float>(kCellLimit)).any())
          continue;
        perFrame[i].push_back({cell_key(g.cast<int>()), static_cast<std::uint32_t>(i),
                               static_cast<std::uint32_t>(j), static_cast<std::uint32_t>(k)});
      }
  });
  std::vector<PointRef> refs;
  for (auto& f : perFrame) {
    refs.insert(refs.end(), f.begin(), f.end());
    std::vector<PointRef>().swap(f);
  }
  tbb::parallel_sort(refs.begin(), refs.end());
  std::vector<std::size_t> starts;
  for (std::size_t r = 0; r < refs.size(); ++r)
    if (r == 0 || refs[r].key != refs[r - 1].key) starts.push_back(r);
  starts.push_back(refs.size());
  const std::size_t nc = starts.size() - 1;

  std::vector<CellStats> cells(nc);
  std::vector<Eigen::Vector3f> scanners(nf);
  for (std::size_t i = 0; i < nf; ++i) scanners[i] = vecRT[i] * scannerMid;
  auxilary_tbb_for(workers, 0, nc, [&](std::size_t c) {
    CellStats& s = cells[c];
    const std::uint64_t key = refs[starts[c]].key, mask = kCellLimit - 1;
    s.cell = Eigen::Vector3i(static_cast<int>(key & mask), static_cast<int>((key >> kCellBits) & mask),
                             static_cast<int>(key >> (2 * kCellBits)));
    // Offsets from the cell centre keep the sums well conditioned.
    const Eigen::Vector3d centre = ((s.cell.cast<double>().array() + 0.5) * pointdis).matrix();
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    Eigen::Matrix3d sq = Eigen::Matrix3d::Zero();
    for (std::size_t r = starts[c]; r < starts[c + 1]; ++r) {
      const PointRef& p = refs[r];
      const Eigen::Vector3f& w = world[p.frame][p.line][p.index];
      const Eigen::Vector3d q = (w - origin).cast<double>() - centre;
      sum += q;
      sq += q * q.transpose();
      const Eigen::Vector3d d = dirs[p.frame][p.line][p.index].cast<double>();
      s.directions += d * d.transpose();
    }
    s.count = static_cast<int>(starts[c + 1] - starts[c]);
    const Eigen::Vector3d mean = sum / s.count;
    s.scatter = sq - s.count * mean * mean.transpose();
    s.mean = mean + centre;
  });

  const std::vector<std::vector<std::uint32_t>> blocks = cell_blocks(cells);
  std::vector<std::uint8_t> accepted(nc, 0);
  auxilary_tbb_for(workers, 0, nc, [&](std::size_t c) {
    accepted[c] = block_normal(cells, blocks[c], c, pointdis, cells[c].normal) ? 1 : 0;
  });

  // Every point gets its cell's normal in its camera frame, or zero.
  for (std::vector<Cloud>& frame : frameLines)
    for (Cloud& line : frame) {
      line.enable_vNormal();
      for (int k = 0; k < line.get_vn(); ++k) line.set_vNrv(k, Eigen::Vector3f::Zero());
    }
  auxilary_tbb_for(workers, 0, nc, [&](std::size_t c) {
    if (!accepted[c]) return;
    for (std::size_t r = starts[c]; r < starts[c + 1]; ++r) {
      const PointRef& p = refs[r];
      // Each point faces its own frame's scanner: a cell across a thin part
      // holds points seen from both sides.
      Eigen::Vector3f n = cells[c].normal;
      if (n.dot(scanners[p.frame] - world[p.frame][p.line][p.index]) < 0.f) n = -n;
      n = vecRT[p.frame].inverse().transform_normal(n);
      frameLines[p.frame][p.line].set_vNrv(static_cast<int>(p.index), n.normalized());
    }
  });
  bbox = box;
  return RETVAL_SUCCESS;
}
}  // namespace

RetVal get_laser_normal(std::vector<std::vector<Cloud>>& frameLines, const std::vector<RigidMatrix>& vecRT,
                        float pointdis, const RigidMatrix& leftMat, const RigidMatrix& rightMat, BoundingBox& bbox,
                        Eigen::Vector3f shift) {
  // The trace entry may replace the inputs (replay), so the constant ones are copied.
  std::vector<RigidMatrix> rts = vecRT;
  RigidMatrix left = leftMat, right = rightMat;
  if (trace("get_laser_normal", frameLines, "frameLines", rts, "vecRT", pointdis, "pointdis", left, "leftMat", right,
            "rightMat", bbox, "bbox") == TraceOutcome::ReplayFailed)
    return RETVAL_FAILED;
  if (!(pointdis > 0.f) || !std::isfinite(pointdis)) {
    TAVO_LOG_ERROR("point distance must be positive");
    return RETVAL_FAILED;
  }
  if (rts.size() < frameLines.size()) {
    TAVO_LOG_ERROR("fewer frame poses than frames");
    return RETVAL_FAILED;
  }
  for (std::size_t i = 0; i < frameLines.size(); ++i)
    if (!finite_pose(rts[i])) {
      TAVO_LOG_ERROR("frame pose " + std::to_string(i) + " is not finite");
      return RETVAL_FAILED;
    }
  try {
    return estimate_normals(frameLines, rts, pointdis, left, right, bbox, shift);
  } catch (const std::bad_alloc&) {
    TAVO_LOG_ERROR("out of memory while estimating laser normals");
    return RETVAL_NO_MEMORY;
  } catch (...) {
    console::unknown_exception();
    return RETVAL_FAILED;
  }
}

}  // namespace TavoAlgorithm

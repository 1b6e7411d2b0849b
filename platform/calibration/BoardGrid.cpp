#include "calibration_platform/BoardGrid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <limits>
#include <map>

#include "calibration_platform/CalibrationBoard.h"

namespace TavoAlgorithm::TavoCalibration {

namespace {

using Node = std::array<int, 2>;
constexpr int kMinBlobs = 4;
// The second lattice vector must leave the first by more than 30 degrees and
// be at most twice as long.
constexpr double kMinBasisSine = 0.5;
constexpr double kMaxBasisLengthRatio = 2.0;

double cross(const Eigen::Vector2d& a, const Eigen::Vector2d& b) { return a.x() * b.y() - a.y() * b.x(); }

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

class LatticeWalk {
 public:
  LatticeWalk(const std::vector<GridBlob>& blobs, double tolerance)
      : m_blobs(blobs), m_tolerance(tolerance), m_taken(blobs.size(), false) {}

  bool run() {
    const int seed = middle_blob();
    int ia = -1, ib = -1;
    if (!pick_basis(seed, ia, ib)) return false;
    m_basis[0] = m_blobs[ia].centre - m_blobs[seed].centre;
    m_basis[1] = m_blobs[ib].centre - m_blobs[seed].centre;
    std::deque<Node> queue;
    for (const auto& [node, blob] : {std::pair<Node, int>{{0, 0}, seed}, {{1, 0}, ia}, {{0, 1}, ib}}) {
      assign(node, blob);
      queue.push_back(node);
    }
    while (!queue.empty()) {
      const Node n = queue.front();
      queue.pop_front();
      for (const Node& d : {Node{1, 0}, Node{-1, 0}, Node{0, 1}, Node{0, -1}}) {
        const Node m{n[0] + d[0], n[1] + d[1]};
        if (m_nodes.count(m)) continue;
        const Eigen::Vector2d step = predict_step(n, d);
        const Eigen::Vector2d target = pos(n) + step;
        const int b = nearest_blob(target);
        if (b < 0 || m_taken[b]) continue;
        if ((m_blobs[b].centre - target).norm() > m_tolerance * step.norm()) continue;
        assign(m, b);
        queue.push_back(m);
      }
    }
    return true;
  }

  const std::map<Node, int>& nodes() const { return m_nodes; }
  // Handedness of the walked grid in the image.
  double orientation() const { return cross(m_basis[0], m_basis[1]); }

  // Image area of the cell at n from its walked neighbours, 0 if unknown.
  double cell_area(const Node& n) const {
    Eigen::Vector2d v[2];
    for (int axis = 0; axis < 2; ++axis) {
      const Node fwd{n[0] + (axis == 0), n[1] + (axis == 1)};
      const Node bwd{n[0] - (axis == 0), n[1] - (axis == 1)};
      if (m_nodes.count(fwd)) v[axis] = pos(fwd) - pos(n);
      else if (m_nodes.count(bwd)) v[axis] = pos(n) - pos(bwd);
      else return 0.0;
    }
    return std::abs(cross(v[0], v[1]));
  }

 private:
  const Eigen::Vector2d& pos(const Node& n) const { return m_blobs[m_nodes.at(n)].centre; }
  bool has(const Node& n) const { return m_nodes.count(n) != 0; }

  void assign(const Node& n, int blob) {
    m_nodes[n] = blob;
    m_taken[blob] = true;
  }

  int middle_blob() const {
    std::vector<double> xs, ys;
    for (const auto& b : m_blobs) {
      xs.push_back(b.centre.x());
      ys.push_back(b.centre.y());
    }
    const Eigen::Vector2d mid(median(xs), median(ys));
    return nearest_blob(mid);
  }

  int nearest_blob(const Eigen::Vector2d& p, int skip = -1) const {
    int best = -1;
    double bestD = std::numeric_limits<double>::infinity();
    for (int i = 0; i < static_cast<int>(m_blobs.size()); ++i) {
      if (i == skip) continue;
      const double d = (m_blobs[i].centre - p).squaredNorm();
      if (d < bestD) {
        bestD = d;
        best = i;
      }
    }
    return best;
  }

  bool pick_basis(int seed, int& ia, int& ib) const {
    std::vector<int> order;
    for (int i = 0; i < static_cast<int>(m_blobs.size()); ++i)
      if (i != seed) order.push_back(i);
    const Eigen::Vector2d c = m_blobs[seed].centre;
    std::sort(order.begin(), order.end(), [&](int x, int y) {
      return (m_blobs[x].centre - c).squaredNorm() < (m_blobs[y].centre - c).squaredNorm();
    });
    if (order.empty()) return false;
    ia = order[0];
    const Eigen::Vector2d a = m_blobs[ia].centre - c;
    for (std::size_t k = 1; k < order.size(); ++k) {
      const Eigen::Vector2d v = m_blobs[order[k]].centre - c;
      if (v.norm() > kMaxBasisLengthRatio * a.norm()) break;
      if (std::abs(cross(a, v)) > kMinBasisSine * a.norm() * v.norm()) {
        ib = order[k];
        return true;
      }
    }
    return false;
  }

  // Step from n towards n + d, taken from the nearest walked edge of the
  // same direction so that perspective and lens bending are followed.
  Eigen::Vector2d predict_step(const Node& n, const Node& d) const {
    const Node back{n[0] - d[0], n[1] - d[1]};
    if (has(back)) return pos(n) - pos(back);
    const Node perp{d[1], d[0]};
    for (int s : {1, -1}) {
      const Node q{n[0] + s * perp[0], n[1] + s * perp[1]};
      if (!has(q)) continue;
      const Node qf{q[0] + d[0], q[1] + d[1]}, qb{q[0] - d[0], q[1] - d[1]};
      if (has(qf)) return pos(qf) - pos(q);
      if (has(qb)) return pos(q) - pos(qb);
    }
    const int axis = d[0] != 0 ? 0 : 1;
    const int sign = d[0] + d[1];
    return sign * m_basis[axis];
  }

  const std::vector<GridBlob>& m_blobs;
  double m_tolerance;
  std::vector<bool> m_taken;
  std::map<Node, int> m_nodes;
  Eigen::Vector2d m_basis[2];
};

}  // namespace

std::vector<int> assign_board_marks(const std::vector<GridBlob>& blobs, const GridOptions& options) {
  using B = CalibrationBoard;
  if (static_cast<int>(blobs.size()) < kMinBlobs) return {};
  for (const auto& b : blobs)
    if (!b.centre.allFinite() || !std::isfinite(b.area) || b.area <= 0.0) return {};
  LatticeWalk walk(blobs, options.matchTolerance);
  if (!walk.run()) return {};
  const auto& nodes = walk.nodes();
  if (static_cast<int>(nodes.size()) > B::kMarkCount) return {};

  // Big or small, judged on the area relative to the local cell.
  std::vector<double> cellAreas;
  for (const auto& [n, b] : nodes) {
    const double a = walk.cell_area(n);
    if (a > 0.0) cellAreas.push_back(a);
  }
  const double fallbackCell = median(cellAreas);
  if (!(fallbackCell > 0.0)) return {};
  std::map<Node, double> relArea;
  std::vector<double> rel;
  for (const auto& [n, b] : nodes) {
    const double a = walk.cell_area(n);
    relArea[n] = blobs[b].area / (a > 0.0 ? a : fallbackCell);
    rel.push_back(relArea[n]);
  }
  const double medRel = median(rel);
  std::map<Node, bool> big;
  for (const auto& [n, r] : relArea) big[n] = r > options.bigAreaRatio * medRel;

  // Placements: x = t00 i + t01 j + ox, y = t10 i + t11 j + oy. Only those
  // keeping the image handedness of the board's front face are allowed.
  static const int kTransforms[8][4] = {{1, 0, 0, 1},  {-1, 0, 0, 1},  {1, 0, 0, -1}, {-1, 0, 0, -1},
                                        {0, 1, 1, 0},  {0, -1, 1, 0},  {0, 1, -1, 0}, {0, -1, -1, 0}};
  const bool rightHanded = walk.orientation() > 0.0;
  int matches = 0;
  std::vector<int> result;
  for (const auto& t : kTransforms) {
    const int det = t[0] * t[3] - t[1] * t[2];
    if ((det > 0) != rightHanded) continue;
    int minX = std::numeric_limits<int>::max(), minY = minX, maxX = std::numeric_limits<int>::min(), maxY = maxX;
    for (const auto& [n, b] : nodes) {
      const int x = t[0] * n[0] + t[1] * n[1], y = t[2] * n[0] + t[3] * n[1];
      minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y), maxY = std::max(maxY, y);
    }
    for (int ox = 0; ox + (maxX - minX) < B::kColumns; ++ox) {
      for (int oy = 0; oy + (maxY - minY) < B::kRows; ++oy) {
        bool ok = true;
        std::vector<int> assignment(B::kMarkCount, -1);
        for (const auto& [n, b] : nodes) {
          const int x = t[0] * n[0] + t[1] * n[1] - minX + ox;
          const int y = t[2] * n[0] + t[3] * n[1] - minY + oy;
          if (B::is_big(x, y) != big.at(n)) {
            ok = false;
            break;
          }
          assignment[y * B::kColumns + x] = b;
        }
        // A placement that hides every big mark carries no orientation.
        bool seesBig = false;
        for (const auto& [n, isBig] : big) seesBig = seesBig || isBig;
        if (ok && seesBig) {
          ++matches;
          result = std::move(assignment);
        }
      }
    }
  }
  if (matches != 1) return {};
  return result;
}

}  // namespace TavoAlgorithm::TavoCalibration

#include "RangeDataCleaning.h"

#include <omp.h>

#include <algorithm>
#include <ctime>

#include "Parallel.h"
#include "common/console.h"
#include "fusion/NormalFieldVolume.h"
#include "geometry/RangeDataHelpers.h"

namespace TavoAlgorithm {
namespace {

constexpr int kCheckDepth = 10;
constexpr float kCheckCell = 0.5f;
// Normal line radius of the distance pass, in cells.
constexpr float kCheckRadius = 0.3f;
// Weight the other points must leave in a cell for it to place the surface:
// about one point within a cell of the cell's normal line; a lone outlier
// gets only the far tails of its distant neighbours.
constexpr float kOthersMinWeight = 0.1f;
// Distance from the others' surface, in cells, at which support reaches 0
// for a vertex cut off from its frame's surface: about the noise of real
// scanners at grazing borders.
constexpr float kSupportBand = 2.5f;
// The same for a vertex that continues its frame's surface: registration
// and the noise of grazing views put a real border a millimetre or more off
// the other frames, while a flying pixel hangs off its frame by a depth jump.
constexpr float kConnectedBand = 6.f;
// A vertex continues its frame's surface when one of its eight grid
// neighbours lies within this many cells of it.
constexpr float kConnectedReach = 2.f;

// (row, col) of every vertex on the grid; (-1, -1) for the others.
std::vector<Eigen::Vector2i> vertex_cells(const RangeData& frame, const Eigen::MatrixXi& map) {
  std::vector<Eigen::Vector2i> cells(static_cast<std::size_t>(frame.get_vn()), Eigen::Vector2i(-1, -1));
  for (int r = 0; r < map.rows(); ++r)
    for (int c = 0; c < map.cols(); ++c) {
      const int v = map(r, c);
      if (v >= 0 && v < frame.get_vn()) cells[static_cast<std::size_t>(v)] = {r, c};
    }
  return cells;
}

}  // namespace

RetVal clean_range_data(const std::vector<BoundingBox>& boxes, const std::vector<Eigen::Vector3f>& points,
                        const RangeData& frame, const CameraInParam& camera, unsigned int radius,
                        const Eigen::Vector2i& imageSize, std::vector<char>& marks) {
  for (double v : camera.values)
    if (v == 0.0) return RETVAL_FAILED;
  if (imageSize.x() <= 0) return RETVAL_FAILED;
  const int rows = frame.get_rows(), cols = frame.get_cols();
  const float scale = static_cast<float>(cols) / static_cast<float>(imageSize.x());
  const RigidMatrix& pose = frame.get_rigidMatrix();
  const RigidMatrix toCamera = pose.inverse();
  const int n = frame.get_vn();
  marks.assign(static_cast<std::size_t>(n), 0);

  if (!boxes.empty()) {
#pragma omp parallel for schedule(dynamic, 1024)
    for (int i = 0; i < n; ++i) {
      const Eigen::Vector3f p = pose * frame.get_vCoord(i);
      for (const BoundingBox& b : boxes)
        if (p.x() >= b.minX && p.y() >= b.minY && p.z() >= b.minZ && p.x() <= b.maxX && p.y() <= b.maxY &&
            p.z() <= b.maxZ) {
          marks[static_cast<std::size_t>(i)] = 1;
          break;
        }
    }
  }
  if (points.empty() || rows <= 0 || cols <= 0) return RETVAL_SUCCESS;

  // 0 empty, 1 covered, 2 end of a horizontal run. Concurrent writers only
  // ever store 1, so plain byte stores suffice.
  std::vector<std::uint8_t> mask(static_cast<std::size_t>(rows) * cols, 0);
  auto at = [&](int r, int c) -> std::uint8_t& { return mask[static_cast<std::size_t>(r) * cols + c]; };
  const int pn = static_cast<int>(points.size());
#pragma omp parallel for schedule(dynamic, 1024)
  for (int k = 0; k < pn; ++k) {
    if (!points[static_cast<std::size_t>(k)].allFinite()) continue;
    const Eigen::Vector3d q = toCamera * Eigen::Vector3d(points[static_cast<std::size_t>(k)].cast<double>());
    if (q.z() == 0.0) continue;
    const Eigen::Vector2d xy = camera.point_to_image(q) * static_cast<double>(scale);
    if (!xy.allFinite() || !(xy.x() > -1.0 && xy.y() > -1.0 && xy.x() < cols && xy.y() < rows)) continue;
    const int c = static_cast<int>(xy.x()), r = static_cast<int>(xy.y());
    if (c >= 0 && c < cols && r >= 0 && r < rows) at(r, c) = 1;
  }
  if (radius != 0) {
    const int rad = static_cast<int>(std::min<unsigned>(radius, static_cast<unsigned>(std::max(rows, cols))));
#pragma omp parallel for schedule(dynamic, 16)
    for (int r = 0; r < rows; ++r)
      for (int j = rad; j < cols - rad && j + 1 < cols; ++j) {
        const std::uint8_t a = at(r, j), b = at(r, j + 1);
        if (a == 0 && b != 0) at(r, j + 1) = 2;
        else if (a != 0 && b == 0) at(r, j) = 2;
      }
#pragma omp parallel for schedule(dynamic, 16)
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) {
        if (at(r, c) != 2) continue;
        for (int dr = -rad; dr <= rad; ++dr)
          for (int dc = -rad; dc <= rad; ++dc) {
            const int rr = r + dr, cc = c + dc;
            // A run end of a row not yet dilated keeps its 2, so that the
            // rows can be dilated in any order.
            if (rr < 0 || rr >= rows || cc < 0 || cc >= cols || at(rr, cc) == 2) continue;
            at(rr, cc) = 1;
          }
      }
  }
  Eigen::MatrixXi map;
  create_vertices_index_map(frame, map);
  const std::vector<Eigen::Vector2i> cells = vertex_cells(frame, map);
#pragma omp parallel for schedule(dynamic, 1024)
  for (int i = 0; i < n; ++i) {
    const Eigen::Vector2i& rc = cells[static_cast<std::size_t>(i)];
    if (marks[static_cast<std::size_t>(i)] == 0 && rc.x() >= 0 && at(rc.x(), rc.y()) != 0)
      marks[static_cast<std::size_t>(i)] = 1;
  }
  return RETVAL_SUCCESS;
}

namespace {

enum class Evidence { None, TooLittle, Some };

// The fused distance of cell c without what the point at q (unit normal m)
// added to it: None when the cell holds no payload, TooLittle when too
// little else reaches it.
Evidence others_distance(const NormalFieldVolume<NormalFieldVoxel>& volume, const Eigen::Vector3f& q,
                         const Eigen::Vector3f& m, const Eigen::Vector3i& c, float& distance) {
  const NormalFieldVoxel* v = volume.find(c);
  if (!v || v->count == 0 || !(v->weightSum > 0.f)) return Evidence::None;
  const Eigen::Vector3f nv(v->normal[0], v->normal[1], v->normal[2]);
  if (v->count < 2 || nv.isZero()) return Evidence::TooLittle;
  const grid::GridFrame& grid = volume.grid_frame();
  float d = 0.f, w = 0.f, e2;
  if (!m.isZero())
    distance_contribution(grid.local_centre(c) - q, m, nv, grid.cellSize, kCheckRadius * grid.cellSize, d, w, e2);
  const float weight = v->weightSum - w;
  if (!(weight > kOthersMinWeight)) return Evidence::TooLittle;
  distance = (v->distSum - d * w) / weight;
  return Evidence::Some;
}

// Support of the point at q from cell b and its neighbours b + step e_a;
// false when b holds no payload. Where the others leave too little in b,
// a vertex that continues its frame's surface has that surface alone for
// support (1), any other none (0).
bool support_from(const NormalFieldVolume<NormalFieldVoxel>& volume, const Eigen::Vector3f& q,
                  const Eigen::Vector3f& m, const Eigen::Vector3i& b, int step, bool connected, float& support) {
  float d0;
  const Evidence e = others_distance(volume, q, m, b, d0);
  if (e == Evidence::None) return false;
  if (e == Evidence::TooLittle) {
    support = connected ? 1.f : 0.f;
    return true;
  }
  const float vs = volume.grid_frame().cellSize;
  const Eigen::Vector3f offset = q / vs - (b.cast<float>().array() + 0.5f).matrix();
  float s = d0;
  for (int a = 0; a < 3; ++a) {
    Eigen::Vector3i n = b;
    n[a] += step;
    float d1;
    if (others_distance(volume, q, m, n, d1) == Evidence::Some) s += offset[a] * (d1 - d0) * static_cast<float>(step);
  }
  support = std::max(0.f, 1.f - std::fabs(s) / ((connected ? kConnectedBand : kSupportBand) * vs));
  return true;
}

// Whether the vertex at grid cell (r, c) has a grid neighbour within reach.
bool continues_frame(const RangeData& frame, const Eigen::MatrixXi& map, int r, int c, float reach) {
  const Eigen::Vector3f& p = frame.get_vCoord(map(r, c));
  for (int a = -1; a <= 1; ++a)
    for (int b = -1; b <= 1; ++b) {
      const int rr = r + a, cc = c + b;
      if ((a == 0 && b == 0) || rr < 0 || cc < 0 || rr >= map.rows() || cc >= map.cols() || map(rr, cc) < 0) continue;
      if ((frame.get_vCoord(map(rr, cc)) - p).squaredNorm() <= reach * reach) return true;
    }
  return false;
}

}  // namespace

void check_bad_vert(const std::vector<const RangeData*>& frames, std::vector<std::vector<bool>>& flags,
                    float threshold) {
  flags.clear();
  if (frames.empty()) return;
  NormalFieldVolume<NormalFieldVoxel> volume(kCheckDepth, kCheckCell);
  std::vector<Cloud> copies(frames.size());
  std::vector<NormalFieldFrame> fused;
  std::vector<Eigen::MatrixXi> maps(frames.size());
  const std::clock_t start = std::clock();
  for (std::size_t f = 0; f < frames.size(); ++f) {
    const RangeData* rge = frames[f];
    if (!rge) continue;
    create_vertices_index_map(*rge, maps[f]);
    Cloud& copy = copies[f];
    copy.set_vCoords(std::vector<Eigen::Vector3f>(rge->get_vCoords()));
    if (rge->has_vFlag()) {
      copy.enable_vFlag();
      for (int i = 0; i < rge->get_vn(); ++i) copy.set_vFlag(i, rge->get_vFlag(i));
    }
    copy.enable_vNormal();
    if (rge->has_vNormal()) {
      for (int i = 0; i < rge->get_vn(); ++i) copy.set_vNrv(i, rge->get_vNrv(i));
    } else {
      std::vector<char> border;
      RangeData_get_point_bd(*rge, maps[f], 4, border);
      std::vector<Eigen::Vector3f> normals;
      RangeData_get_smooth_bd_point_normal(*rge, maps[f], border, 2, 3, normals);
      for (int i = 0; i < rge->get_vn() && i < static_cast<int>(normals.size()); ++i) copy.set_vNrv(i, normals[i]);
    }
    fused.push_back({&copy, rge->get_rigidMatrix()});
  }
  if (!fused.empty()) {
    volume.set_origin_from(fused.front());
    volume.fuse_normals(fused, kCheckRadius, {});
    volume.normalise();
    volume.measure_deviation(fused, {});
    volume.fuse_distances(fused, kCheckRadius, {});
  }
  console::elapsed_ms("fusion coat: ", start);

  flags.resize(frames.size());
  const grid::GridFrame& grid = volume.grid_frame();
  for (std::size_t f = 0; f < frames.size(); ++f) {
    const RangeData* rge = frames[f];
    if (!rge) continue;
    const int n = rge->get_vn();
    std::vector<bool>& out = flags[f];
    out.assign(static_cast<std::size_t>(n), false);
    const Eigen::MatrixXi& map = maps[f];
    std::vector<int> complete(static_cast<std::size_t>(n), 0);
    for (int r = 0; r + 1 < map.rows(); ++r)
      for (int c = 0; c + 1 < map.cols(); ++c) {
        const int q[4] = {map(r, c), map(r, c + 1), map(r + 1, c), map(r + 1, c + 1)};
        if (q[0] < 0 || q[1] < 0 || q[2] < 0 || q[3] < 0) continue;
        for (int v : q) ++complete[static_cast<std::size_t>(v)];
      }
    std::vector<char> bad(static_cast<std::size_t>(n), 0);  // vector<bool> bits are not separately writable
    const RigidMatrix& pose = rge->get_rigidMatrix();
    const std::vector<Eigen::Vector2i> cells = vertex_cells(*rge, map);
    const float reach = kConnectedReach * grid.cellSize;
    auxilary_tbb_for(volume.thread_num(), 0, static_cast<std::size_t>(n), [&](std::size_t i) {
      if (complete[i] >= 4) return;
      const int vi = static_cast<int>(i);
      const Eigen::Vector3f local = pose * rge->get_vCoord(vi) - grid.origin;
      // The normal the vertex was fused with; a vertex left out of the
      // fusion has nothing of its own to take back.
      Eigen::Vector3f m = pose.transform_normal(copies[f].get_vNrv(vi)).normalized();
      if (!m.allFinite() || (copies[f].has_vFlag() && copies[f].get_vDeleted(vi))) m = Eigen::Vector3f::Zero();
      const Eigen::Vector2i& rc = cells[i];
      const bool connected = rc.x() >= 0 && continues_frame(*rge, map, rc.x(), rc.y(), reach);
      Eigen::Vector3i g;
      float support = 0.f;
      bool known = false;
      if (grid.local_cell(local, g)) {
        if (grid.within(g, 3)) known = support_from(volume, local, m, g, 1, connected, support);
        if (!known)
          known = support_from(volume, local, m, Eigen::Vector3i(g + Eigen::Vector3i::Ones()), -1, connected, support);
      }
      bad[i] = !known || support < threshold;
    });
    for (int i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = bad[static_cast<std::size_t>(i)] != 0;
  }
}

}  // namespace TavoAlgorithm

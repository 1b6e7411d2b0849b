#include "fusion/RangeFrameLists.h"

#include <omp.h>

#include <algorithm>
#include <cmath>

#include "Parallel.h"
#include "geometry/RangeDataHelpers.h"
#include "meshproc/refine_marching_cube.h"

namespace TavoAlgorithm {
namespace {

constexpr int kBoundaryBand = 4;
constexpr int kNormalFitRadius = 2;
constexpr int kNormalSmoothRadius = 3;
constexpr float kSteepNormalZ = 0.5f;
// Ring r of the boundary gets 0.1 / (10 - 5 r).
constexpr double kRingWeightNumerator = 0.1;
constexpr double kRingWeightBase = 10.0;
constexpr double kRingWeightStep = 5.0;
constexpr int kFramesPerWorker = 2;

// Moves the kept entries the way Cloud::squeeze moved their points.
template <typename T>
void follow_squeeze(std::vector<T>& list, const std::vector<int>& newIndex, int kept) {
  std::vector<T> out(static_cast<std::size_t>(kept));
  for (std::size_t i = 0; i < newIndex.size(); ++i)
    if (newIndex[i] >= 0) out[static_cast<std::size_t>(newIndex[i])] = list[i];
  list.swap(out);
}

// The application owns the frame but asks the helper to acknowledge a
// removal by clearing the pending bit.
void acknowledge_removal(const RangeData& f, int k) {
  const_cast<RangeData&>(f).set_vFlag(k, static_cast<VertexFlag>(f.get_vFlag(k) & ~FLAG_REMOVAL_PENDING));
}

}  // namespace

void RangeFrameLists::sample_rge(const Eigen::MatrixXi& indexMap, const std::vector<Eigen::Vector3f>& normals,
                                 int step, bool keepSteep, std::vector<bool>& marks) {
  std::fill(marks.begin(), marks.end(), false);
  if (step == 0) return;
  // A negative step samples like its magnitude (i mod s = 0 either way).
  for (int i = 0; i < indexMap.rows(); ++i) {
    for (int j = 0; j < indexMap.cols(); ++j) {
      const int k = indexMap(i, j);
      if (k < 0 || static_cast<std::size_t>(k) >= marks.size()) continue;
      const bool onGrid = i % step == 0 && j % step == 0;
      const bool steep = keepSteep && static_cast<std::size_t>(k) < normals.size() &&
                         std::fabs(normals[static_cast<std::size_t>(k)].z()) < kSteepNormalZ;
      if (onGrid || steep) marks[static_cast<std::size_t>(k)] = true;
    }
  }
}

void RangeFrameLists::weight_boundary_rings(const RangeData& f, std::vector<float>& weights) {
  const int rows = f.get_rows(), cols = f.get_cols();
  // Validity and rings on a grid padded by one empty cell all round, so the
  // 3 x 3 tests need no bounds checks.
  const int stride = cols + 2;
  const std::size_t cells = static_cast<std::size_t>(rows + 2) * static_cast<std::size_t>(stride);
  // Scratch kept by each thread from frame to frame: fresh pages cost more
  // than the tests written into them.
  thread_local std::vector<char> scratch;
  scratch.resize(5 * cells);
  char* const valid = scratch.data();
  std::fill(valid, valid + cells, 0);
  auto at = [stride](int r, int c) { return static_cast<std::size_t>(r + 1) * stride + static_cast<std::size_t>(c + 1); };
  // Rings lie on valid cells only: the passes below keep to their bounding box.
  int r0 = rows, r1 = -1, c0 = cols, c1 = -1;
  const int vn = f.get_vn();
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      // Flagged present, its point in range and not deleted; empty cells fail first.
      const int k = f.get_cellVertex(r, c);
      if (k < 0 || k >= vn || (f.get_cellFlag(r, c) & CELL_HAS_POINT) == 0 || f.get_vDeleted(k)) continue;
      valid[at(r, c)] = 1;
      r0 = std::min(r0, r), r1 = std::max(r1, r), c0 = std::min(c0, c), c1 = std::max(c1, c);
    }
  if (r1 < 0) return;
  // Whether a cell's 3 x 3 block is all `set`: three cells across, in each
  // of three rows, from a row of three-across tests kept for the rows above
  // and below.
  char* const across = valid + cells;
  auto full_blocks = [&](const char* set, char* full) {
    for (int r = r0 - 1; r <= r1 + 1; ++r)
      for (int c = c0; c <= c1; ++c) {
        const std::size_t i = at(r, c);
        across[i] = set[i - 1] & set[i] & set[i + 1];
      }
    for (int r = r0; r <= r1; ++r)
      for (int c = c0; c <= c1; ++c) {
        const std::size_t i = at(r, c);
        full[i] = across[i - stride] & across[i] & across[i + stride];
      }
  };
  // Ring 0: valid points that are not the shared corner of four valid quads,
  // i.e. some cell of their 3 x 3 block is not valid. Ring 1: valid points
  // 8-adjacent to ring 0.
  char* const inner = across + cells;
  char* const clear = inner + cells;
  char* const notRing0 = clear + cells;
  std::fill(notRing0, notRing0 + cells, 1);
  full_blocks(valid, inner);
  for (int r = r0; r <= r1; ++r)
    for (int c = c0; c <= c1; ++c) {
      const std::size_t i = at(r, c);
      notRing0[i] = !(valid[i] && !inner[i]);
    }
  full_blocks(notRing0, clear);
  for (int r = r0; r <= r1; ++r)
    for (int c = c0; c <= c1; ++c) {
      const std::size_t i = at(r, c);
      if (!valid[i] || clear[i]) continue;
      const int ringNo = inner[i] ? 1 : 0;
      float& w = weights[static_cast<std::size_t>(f.get_cellVertex(r, c))];
      if (w != 0.f) w = static_cast<float>(kRingWeightNumerator / (kRingWeightBase - kRingWeightStep * ringNo));
    }
}

void RangeFrameLists::prepare_slot(std::size_t i, bool isSample, bool singleFrame, bool ringWeights) {
  const RangeData& f = *m_frames[i];
  // Per-thread scratch, reused from frame to frame.
  thread_local Eigen::MatrixXi indexMap;
  thread_local std::vector<char> boundary;
  create_vertices_index_map(f, indexMap);
  RangeData_get_point_bd(f, indexMap, kBoundaryBand, boundary);
  RangeData_get_smooth_bd_point_normal(f, indexMap, boundary, kNormalFitRadius, kNormalSmoothRadius, m_normals[i]);
  if (m_normals[i].size() != static_cast<std::size_t>(f.get_vn()))
    m_normals[i].assign(static_cast<std::size_t>(f.get_vn()), Eigen::Vector3f::Zero());
  if (ringWeights && f.has_vFlag()) weight_boundary_rings(f, m_weights[i]);
  m_sampleMarks[i].assign(static_cast<std::size_t>(f.get_vn()), true);
  const bool usable = singleFrame && m_rules.singleFrameMinStep > 1 ? m_sampleStep >= m_rules.singleFrameMinStep
                                                                     : m_sampleStep != 0;
  if (isSample && usable)
    sample_rge(indexMap, m_normals[i], m_sampleStep, m_rules.keepSteepPoints, m_sampleMarks[i]);
}

void RangeFrameLists::send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread,
                                     bool isSample) {
  if (frame == nullptr) return;
  send_rangeData(frame, correction, wideSpread, std::vector<float>(static_cast<std::size_t>(frame->get_vn()), 1.f),
                 isSample);
}

void RangeFrameLists::send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread,
                                     const std::vector<float>& weights, bool isSample) {
  if (frame == nullptr || weights.size() != static_cast<std::size_t>(frame->get_vn())) return;
  m_frames.push_back(frame);
  m_corrections.push_back(correction);
  m_wideSpread.push_back(wideSpread);
  m_weights.push_back(weights);
  m_normals.emplace_back();
  m_sampleMarks.emplace_back();
  prepare_slot(m_frames.size() - 1, isSample, true, false);
}

bool RangeFrameLists::send_rangeData(const std::vector<const RangeData*>& frames,
                                     const std::vector<RigidMatrix>& corrections,
                                     const std::vector<bool>& wideSpread, bool isSample) {
  std::vector<std::vector<float>> weights;
  weights.reserve(frames.size());
  for (const RangeData* f : frames)
    weights.emplace_back(f ? static_cast<std::size_t>(f->get_vn()) : 0u, 1.f);
  return send_rangeData(frames, corrections, wideSpread, weights, isSample);
}

bool RangeFrameLists::send_rangeData(const std::vector<const RangeData*>& frames,
                                     const std::vector<RigidMatrix>& corrections,
                                     const std::vector<bool>& wideSpread,
                                     const std::vector<std::vector<float>>& weights, bool isSample) {
  const std::size_t n = frames.size();
  if (corrections.size() != n || wideSpread.size() != n || weights.size() != n) return false;
  for (std::size_t k = 0; k < n; ++k)
    if (frames[k] == nullptr || weights[k].size() != static_cast<std::size_t>(frames[k]->get_vn())) return false;
  const std::size_t first = m_frames.size();
  m_frames.insert(m_frames.end(), frames.begin(), frames.end());
  m_corrections.insert(m_corrections.end(), corrections.begin(), corrections.end());
  m_wideSpread.insert(m_wideSpread.end(), wideSpread.begin(), wideSpread.end());
  m_weights.insert(m_weights.end(), weights.begin(), weights.end());
  m_normals.resize(first + n);
  m_sampleMarks.resize(first + n);
  for_each_frame(static_cast<int>(first), static_cast<int>(first + n),
                 [&](int i) { prepare_slot(static_cast<std::size_t>(i), isSample, false, true); });
  return true;
}

bool RangeFrameLists::send_rangeData_traced(const std::vector<const RangeData*>& frames,
                                            const std::vector<RigidMatrix>& corrections,
                                            const std::vector<bool>& wideSpread,
                                            const std::vector<std::vector<float>>& weights, bool isSample) {
  if (!gDAConfig.enable) return send_rangeData(frames, corrections, wideSpread, weights, isSample);
  // The trace entry may replace the inputs (replay), so it works on copies.
  std::vector<const RangeData*> f = frames;
  std::vector<RigidMatrix> c = corrections;
  std::vector<std::vector<float>> w = weights;
  bool sample = isSample;
  const TraceOutcome r = trace("send_rangeData", f, "rangeDatas", c, "dRts", w, "extreWeight", sample, "isSample");
  if (r == TraceOutcome::ReplayFailed) return false;
  std::vector<bool> wide = wideSpread;
  // The flags are not part of the recording: a replay takes them as off.
  // Anywhere else a list of the wrong length is refused, as without tracing.
  if (r == TraceOutcome::Replayed && wide.size() != f.size()) wide.assign(f.size(), false);
  return send_rangeData(f, c, wide, w, sample);
}

void RangeFrameLists::for_each_frame(int first, int last, const std::function<void(int)>& body) const {
  if (first >= last) return;
  if (m_rules.prepareWorkers > 0) {
    // No more workers than the machine has: TBB would refuse the rest anyway,
    // with a warning on the console.
    const int workers = std::min(m_rules.prepareWorkers, std::max(1, omp_get_num_procs()));
    auxilary_tbb_for(workers, static_cast<std::size_t>(first), static_cast<std::size_t>(last),
                     [&](std::size_t i) { body(static_cast<int>(i)); });
    return;
  }
#pragma omp parallel for schedule(dynamic)
  for (int i = first; i < last; ++i) body(i);
}

bool RangeFrameLists::clipped(const RigidMatrix& pose, const Eigen::Vector3f& p) const {
  return m_rules.clipZ && m_clipHeight > (pose * p).z();
}

PreparedFrame RangeFrameLists::sample_cloud(int i) const {
  const std::size_t s = static_cast<std::size_t>(i);
  const RangeData& f = *m_frames[s];
  PreparedFrame out;
  out.pose = world_pose(s);
  out.wideSpread = m_wideSpread[s];
  const std::vector<bool>& marks = m_sampleMarks[s];
  auto taken = [&](int k) { return marks[static_cast<std::size_t>(k)] && !f.get_vDeleted(k); };
  // Sized once: growing the lists point by point cost as much as integrating.
  int kept = 0;
  for (int k = 0; k < f.get_vn(); ++k) kept += taken(k) ? 1 : 0;
  std::vector<Eigen::Vector3f> coords(static_cast<std::size_t>(kept));
  out.normals.resize(static_cast<std::size_t>(kept));
  out.weights.resize(static_cast<std::size_t>(kept));
  for (int k = 0, j = 0; k < f.get_vn(); ++k) {
    if (!taken(k)) continue;
    const std::size_t ks = static_cast<std::size_t>(k), js = static_cast<std::size_t>(j++);
    coords[js] = f.get_vCoord(k);
    out.normals[js] = m_normals[s][ks];
    out.weights[js] = m_weights[s][ks];
  }
  // The volume reads the fitted normals only: the frame's own are not copied.
  out.cloud.set_vCoords(std::move(coords));
  if (m_rules.clipZ) {
    bool any = false;
    for (int k = 0; k < out.cloud.get_vn(); ++k) {
      if (!clipped(out.pose, out.cloud.get_vCoord(k))) continue;
      out.cloud.set_vDeleted(k, true);
      any = true;
    }
    if (any) {
      std::vector<int> newIndex;
      const int kept = out.cloud.squeeze(&newIndex);
      follow_squeeze(out.weights, newIndex, kept);
      follow_squeeze(out.normals, newIndex, kept);
    }
  }
  out.cloud.disable_vColor();
  return out;
}

void RangeFrameLists::collect(std::size_t i, bool pendingRemovals, std::vector<RemovedPoint>& out) {
  const RangeData& f = *m_frames[i];
  if (pendingRemovals && !f.has_vFlag()) return;
  const RigidMatrix pose = world_pose(i);
  for (int k = 0; k < f.get_vn(); ++k) {
    const VertexFlag flag = f.has_vFlag() ? f.get_vFlag(k) : VertexFlag{0};
    const bool deleted = (flag & FLAG_DELETED) != 0;
    const bool removalPending = deleted && (flag & FLAG_REMOVAL_PENDING) != 0;
    // A deleted point still holds its contribution while its removal is
    // pending (the pending bit is cleared wherever a deleted point is not or
    // no longer in the volume); a withdrawn frame takes those out as well.
    if (pendingRemovals ? !removalPending : deleted && !removalPending) continue;
    if (removalPending) acknowledge_removal(f, k);
    const std::size_t ks = static_cast<std::size_t>(k);
    // Only what was integrated is taken out: sampled and not clipped.
    if (!m_sampleMarks[i][ks] || clipped(pose, f.get_vCoord(k))) continue;
    out.push_back({f.get_vCoord(k), m_normals[i][ks], pose, m_weights[i][ks], m_wideSpread[i]});
  }
}

void RangeFrameLists::add_to_tsdf(TsdfVolume& volume) {
  const int before = m_integrated;
  const int n = frame_count();
  // Into an empty volume every voxel comes out dirty, so spreading the marks
  // would only revisit them.
  const bool wasEmpty = !volume.has_voxels();
  if (before < n) {
    // Deleted points of a pending frame never enter the volume: a pending
    // bit left on them would subtract, next round, what was never added.
    // One frame may be listed twice, so not inside the parallel preparation.
    for (int i = before; i < n; ++i) {
      const RangeData& f = *m_frames[static_cast<std::size_t>(i)];
      if (!f.has_vFlag()) continue;
      for (int k = 0; k < f.get_vn(); ++k)
        if ((f.get_vFlag(k) & FLAG_DELETED) != 0 && (f.get_vFlag(k) & FLAG_REMOVAL_PENDING) != 0)
          acknowledge_removal(f, k);
    }
    const int workers = m_rules.prepareWorkers > 0 ? m_rules.prepareWorkers : omp_get_max_threads();
    // A few frames per worker at a time rather than all pending ones at once:
    // the prepared copies of one batch reuse the memory of the last, where
    // fresh pages for every frame cost more than integrating it.
    const int batch = std::max(2, kFramesPerWorker * std::max(workers, 1));
    for (int first = before; first < n; first += batch) {
      const int last = std::min(n, first + batch);
      std::vector<PreparedFrame> pending(static_cast<std::size_t>(last - first));
      for_each_frame(first, last, [&](int i) { pending[static_cast<std::size_t>(i - first)] = sample_cloud(i); });
      volume.integrate(pending);
    }
  }
  std::vector<RemovedPoint> removed;
  for (int i = 0; i < before; ++i) collect(static_cast<std::size_t>(i), true, removed);
  if (!removed.empty()) volume.remove(removed);
  if (!wasEmpty) volume.propagate_dirty();
  m_integrated = n;
}

void RangeFrameLists::collect_removed_points(std::vector<RemovedPoint>& out) {
  for (int i = 0; i < m_integrated; ++i) collect(static_cast<std::size_t>(i), true, out);
}

void RangeFrameLists::pop_rangeData(TsdfVolume* volume) {
  if (m_frames.empty()) return;
  if (m_integrated == frame_count()) {
    if (volume != nullptr) {
      std::vector<RemovedPoint> removed;
      collect(m_frames.size() - 1, false, removed);
      volume->remove(removed);
    }
    --m_integrated;
  }
  m_frames.pop_back();
  m_normals.pop_back();
  m_corrections.pop_back();
  m_wideSpread.pop_back();
  m_weights.pop_back();
  m_sampleMarks.pop_back();
}

bool RangeFrameLists::rebuild_mesh(TsdfVolume& volume, BaseTriMesh& mesh) {
  add_to_tsdf(volume);
  volume.extract();
  std::vector<int> axes;
  volume.copy_mesh(mesh, axes);
  refine_marching_cube(mesh, static_cast<double>(volume.get_voxel_size()), axes);
  return true;
}

void RangeFrameLists::clear() {
  m_frames.clear();
  m_normals.clear();
  m_corrections.clear();
  m_wideSpread.clear();
  m_weights.clear();
  m_sampleMarks.clear();
  m_integrated = 0;
}

}  // namespace TavoAlgorithm

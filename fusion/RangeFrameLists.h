#pragma once
// RangeFrameLists: the per-frame lists of a TSDF helper (FusionMeshHelper,
// AutoScanHelper) and the steps between them and its TsdfVolume: appending
// frames, preparing pending frames, integrating, subtracting removed points,
// withdrawing the last frame and rebuilding the mesh.
//
// Frames stay owned by the caller and must outlive the lists; the lists only
// clear the removal-pending bit (3) of the frames' deleted points, once their
// contribution is subtracted or, for a pending frame, when it is prepared
// (its deleted points are never added). One caller thread at a time; the calls run their own
// parallel loops. Helpers differ only in FrameListRules.
#include <Eigen/Core>
#include <functional>
#include <vector>

#include "common/trace/Trace.h"
#include "fusion/TsdfVolume.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/RangeData.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm {

struct FrameListRules {
  // FusionMeshHelper: steep points (|smoothed n.z| < 0.5) survive sampling.
  bool keepSteepPoints = true;
  // Above 1: the smallest sample step that the single-frame overloads act on
  // (2 for AutoScanHelper). Otherwise, and always in the vector overloads,
  // any step other than 0 samples (a negative one like its magnitude).
  int singleFrameMinStep = 1;
  // FusionMeshHelper drops points below the clip height (world z).
  bool clipZ = true;
  // Workers of the per-frame preparation: 0 = an OpenMP loop over the
  // default thread count, n > 0 = the library's task-arena loop on n workers.
  int prepareWorkers = 0;
};

class RangeFrameLists {
 public:
  explicit RangeFrameLists(const FrameListRules& rules = {}) : m_rules(rules) {}

  void set_sample_step(int step) { m_sampleStep = step; }
  void set_clip_height(float z) { m_clipHeight = z; }

  // Single frame, weights 1. A null frame is ignored.
  void send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread, bool isSample);
  // Single frame with one weight per point; a null frame or a weight list of
  // another length than the frame's points is ignored.
  void send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread,
                      const std::vector<float>& weights, bool isSample);
  // Several frames, weights 1; false without change on mismatched lengths.
  bool send_rangeData(const std::vector<const RangeData*>& frames, const std::vector<RigidMatrix>& corrections,
                      const std::vector<bool>& wideSpread, bool isSample);
  // Several frames; false without change when the frame, pose, flag or weight
  // lists differ in length, a frame is null or a weight list does not match
  // its frame. Boundary rings of flagged frames get the weights 0.01 / 0.02.
  bool send_rangeData(const std::vector<const RangeData*>& frames, const std::vector<RigidMatrix>& corrections,
                      const std::vector<bool>& wideSpread, const std::vector<std::vector<float>>& weights,
                      bool isSample);
  // The same, recorded by the trace facility as "send_rangeData" (keys
  // "rangeDatas", "dRts", "extreWeight", "isSample"); in replay mode the
  // recorded inputs are appended instead, with wide-spread flags off.
  bool send_rangeData_traced(const std::vector<const RangeData*>& frames,
                             const std::vector<RigidMatrix>& corrections, const std::vector<bool>& wideSpread,
                             const std::vector<std::vector<float>>& weights, bool isSample);

  // Integrates the pending frames, subtracts removed points, spreads dirtiness.
  void add_to_tsdf(TsdfVolume& volume);
  // Appends the points of the integrated frames marked removed (flag bits 0
  // and 3) that were integrated, clearing their bit 3.
  void collect_removed_points(std::vector<RemovedPoint>& out);
  // Withdraws the last frame, subtracting first every contribution it made
  // when it was integrated (deleted points whose removal is pending included).
  void pop_rangeData(TsdfVolume* volume);
  // add_to_tsdf, extraction, the raw mesh cut to the counters, refinement.
  bool rebuild_mesh(TsdfVolume& volume, BaseTriMesh& mesh);
  void clear();
  // Records the lists under `operation` (keys "modelList", "otherNrvs",
  // "deltaRigids", "allExtraWeight", "sampleFlags"), or in replay mode
  // replaces them by the recorded ones, all to be integrated afresh.
  // Replayed lists that do not fit together are dropped and the replay fails.
  TraceOutcome trace_lists(const std::string& operation);

  int frame_count() const { return static_cast<int>(m_frames.size()); }
  int integrated_count() const { return m_integrated; }
  // Per-frame corrections (a frame's world pose is correction x its own pose).
  const std::vector<RigidMatrix>& corrections() const { return m_corrections; }
  // No check on the index; an integrated frame keeps its old contribution
  // until the lists are integrated afresh.
  void set_correction(std::size_t i, const RigidMatrix& correction) { m_corrections[i] = correction; }
  void reset_integrated_count() { m_integrated = 0; }
  const std::vector<std::vector<bool>>& sample_marks() const { return m_sampleMarks; }
  const std::vector<std::vector<float>>& weights() const { return m_weights; }
  // Per-point normals the preparation fitted, one list per frame.
  const std::vector<std::vector<Eigen::Vector3f>>& smoothed_normals() const { return m_normals; }

  // Sample marks of one frame for step s != 0 (grid rows i, columns j; a
  // negative s samples like -s); s = 0 clears every mark.
  static void sample_rge(const Eigen::MatrixXi& indexMap, const std::vector<Eigen::Vector3f>& normals, int step,
                         bool keepSteep, std::vector<bool>& marks);
  // Weights of the two point rings along a flagged frame's boundary.
  static void weight_boundary_rings(const RangeData& frame, std::vector<float>& weights);
  // Prepared cloud of frame i (sampled, not deleted, clipped when the rules say).
  PreparedFrame sample_cloud(int i) const;

 private:
  void prepare_slot(std::size_t i, bool isSample, bool singleFrame, bool ringWeights);
  // body(i) for every frame index in [first, last), in parallel as the rules say.
  void for_each_frame(int first, int last, const std::function<void(int)>& body) const;
  RigidMatrix world_pose(std::size_t i) const { return m_corrections[i] * m_frames[i]->get_rigidMatrix(); }
  bool clipped(const RigidMatrix& pose, const Eigen::Vector3f& p) const;
  void collect(std::size_t i, bool pendingRemovals, std::vector<RemovedPoint>& out);

  FrameListRules m_rules;
  int m_sampleStep = 0;
  float m_clipHeight = -1e30f;
  std::vector<const RangeData*> m_frames;
  std::vector<std::vector<Eigen::Vector3f>> m_normals;
  std::vector<RigidMatrix> m_corrections;
  std::vector<bool> m_wideSpread;
  std::vector<std::vector<float>> m_weights;
  std::vector<std::vector<bool>> m_sampleMarks;
  int m_integrated = 0;
};

}  // namespace TavoAlgorithm

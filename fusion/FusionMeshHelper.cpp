#include "FusionMeshHelper.h"

#include "common/trace/Trace.h"
#include "fusion/RangeFrameLists.h"
#include "fusion/TsdfRegionMarks.h"
#include "fusion/TsdfVolume.h"

namespace TavoAlgorithm {

namespace {
FrameListRules fusion_rules() {
  FrameListRules r;
  r.keepSteepPoints = true;
  r.singleFrameMinStep = 1;
  r.clipZ = true;
  return r;
}
}  // namespace

FusionMeshHelper::FusionMeshHelper() : m_lists(std::make_unique<RangeFrameLists>(fusion_rules())) {}

FusionMeshHelper::~FusionMeshHelper() = default;

void FusionMeshHelper::make_volume() {
  m_volume = std::make_unique<TsdfVolume>(kTsdfDefaultDepth, m_param.voxelSize);
}

RetVal FusionMeshHelper::set_param(const DentalFusionMeshParam& param, std::string& /*errorText*/) {
  m_volume.reset();
  m_param = param;
  m_lists->set_sample_step(param.sampleStep);
  m_lists->set_clip_height(param.clipZ);
  make_volume();
  return RETVAL_SUCCESS;
}

void FusionMeshHelper::send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread,
                                      bool isSample) {
  m_lists->send_rangeData(frame, correction, wideSpread, isSample);
}

void FusionMeshHelper::send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread,
                                      const std::vector<float>& weights, bool isSample) {
  m_lists->send_rangeData(frame, correction, wideSpread, weights, isSample);
}

bool FusionMeshHelper::send_rangeData(const std::vector<const RangeData*>& frames,
                                      const std::vector<RigidMatrix>& corrections,
                                      const std::vector<bool>& wideSpread, bool isSample) {
  std::vector<std::vector<float>> weights(frames.size());
  for (std::size_t i = 0; i < frames.size(); ++i)
    if (frames[i]) weights[i].assign(static_cast<std::size_t>(frames[i]->get_vn()), 1.f);
  return send_rangeData(frames, corrections, wideSpread, weights, isSample);
}

bool FusionMeshHelper::send_rangeData(const std::vector<const RangeData*>& frames,
                                      const std::vector<RigidMatrix>& corrections,
                                      const std::vector<bool>& wideSpread,
                                      const std::vector<std::vector<float>>& weights, bool isSample) {
  return m_lists->send_rangeData_traced(frames, corrections, wideSpread, weights, isSample);
}

void FusionMeshHelper::pop_rangeData() { m_lists->pop_rangeData(m_volume.get()); }

void FusionMeshHelper::add_to_tsdf() {
  if (m_volume) m_lists->add_to_tsdf(*m_volume);
}

RetVal FusionMeshHelper::get_triMesh(BaseTriMesh& mesh) {
  const TraceOutcome r = m_lists->trace_lists("get_triMesh");
  if (r == TraceOutcome::ReplayFailed) return RETVAL_FAILED;
  if (!m_volume) return RETVAL_FAILED;
  if (r == TraceOutcome::Replayed) make_volume();  // replayed lists are integrated afresh
  return m_lists->rebuild_mesh(*m_volume, mesh) ? RETVAL_SUCCESS : RETVAL_FAILED;
}

RetVal FusionMeshHelper::clear_all() {
  m_lists->clear();
  m_lists->reset_integrated_count();
  if (m_volume) make_volume();
  return RETVAL_SUCCESS;
}

void FusionMeshHelper::delete_mesh_by_points(const std::vector<Eigen::Vector3f>& points, int radius) {
  if (m_volume) mark_region_voxels(*m_volume, points, radius);
}

void FusionMeshHelper::clean_rangedata(const RangeData& frame, std::vector<char>& marks) {
  if (m_volume) find_points_in_marked_voxels(*m_volume, frame, marks);
}

void FusionMeshHelper::clear_delete_flag() {
  if (m_volume) clear_voxel_delete_marks(*m_volume, 1);
}

int FusionMeshHelper::frame_count() const { return m_lists->frame_count(); }
int FusionMeshHelper::integrated_count() const { return m_lists->integrated_count(); }

}  // namespace TavoAlgorithm

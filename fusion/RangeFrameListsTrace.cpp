#include "fusion/RangeFrameLists.h"

namespace TavoAlgorithm {

TraceOutcome RangeFrameLists::trace_lists(const std::string& operation) {
  const TraceOutcome r = trace(operation, m_frames, "modelList", m_normals, "otherNrvs", m_corrections,
                               "deltaRigids", m_weights, "allExtraWeight", m_sampleMarks, "sampleFlags");
  if (r != TraceOutcome::Replayed && r != TraceOutcome::ReplayFailed) return r;
  const std::size_t n = m_frames.size();
  bool fits = r == TraceOutcome::Replayed && m_normals.size() == n && m_corrections.size() == n &&
              m_weights.size() == n && m_sampleMarks.size() == n;
  for (std::size_t i = 0; fits && i < n; ++i) {
    const std::size_t vn = static_cast<std::size_t>(m_frames[i]->get_vn());
    fits = m_normals[i].size() == vn && m_weights[i].size() == vn && m_sampleMarks[i].size() == vn;
  }
  if (!fits) {
    clear();
    return TraceOutcome::ReplayFailed;
  }
  m_wideSpread.assign(n, false);
  m_integrated = 0;
  return r;
}

}  // namespace TavoAlgorithm

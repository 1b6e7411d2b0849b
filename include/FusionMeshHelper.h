#pragma once
// FusionMeshHelper: range frames in, one fused triangle mesh out.
//
// Calling order: set_param -> send_rangeData / pop_rangeData ... ->
// get_triMesh (integrates what is pending, extracts, refines) -> more frames
// or region removals -> get_triMesh ... -> clear_all for a new model.
// Frames are borrowed: they must stay alive until clear_all or destruction.
// One caller thread at a time; the calls run their own parallel loops.
// Copying is not supported (the helper owns its volume).
//
// Region removal: delete_mesh_by_points marks voxels, clean_rangedata tells
// which points of a frame lie in them, the caller sets bits 0 and 3 of those
// points' flags, and the next get_triMesh subtracts them.
#include <Eigen/Core>
#include <memory>
#include <string>
#include <vector>

#include "RetVal.h"
#include "TavoExport.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/RangeData.h"

namespace TavoAlgorithm {

class TsdfVolume;
class RangeFrameLists;

struct DentalFusionMeshParam {
  float voxelSize = 0.f;  // voxel edge (world units)
  float clipZ = 0.f;      // points with world z below it are not integrated
  std::int32_t sampleStep = 0;  // frame sampling grid step; 0 = every point
};

class TAVO_API FusionMeshHelper {
 public:
  FusionMeshHelper();
  ~FusionMeshHelper();
  FusionMeshHelper(const FusionMeshHelper&) = delete;
  FusionMeshHelper& operator=(const FusionMeshHelper&) = delete;

  // Replaces the volume by an empty one (depth 13); the frame lists stay, so
  // frames integrated before are in neither volume. errorText is not touched.
  RetVal set_param(const DentalFusionMeshParam& param, std::string& errorText);

  void send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread, bool isSample);
  void send_rangeData(const RangeData* frame, const RigidMatrix& correction, bool wideSpread,
                      const std::vector<float>& weights, bool isSample);
  bool send_rangeData(const std::vector<const RangeData*>& frames, const std::vector<RigidMatrix>& corrections,
                      const std::vector<bool>& wideSpread, bool isSample);
  // Recorded by the trace facility as "send_rangeData".
  bool send_rangeData(const std::vector<const RangeData*>& frames, const std::vector<RigidMatrix>& corrections,
                      const std::vector<bool>& wideSpread, const std::vector<std::vector<float>>& weights,
                      bool isSample);
  void pop_rangeData();
  void add_to_tsdf();

  // Recorded as "get_triMesh". RETVAL_FAILED without a volume.
  RetVal get_triMesh(BaseTriMesh& mesh);
  // Empties the lists and starts a new volume with the same voxel size.
  RetVal clear_all();

  void delete_mesh_by_points(const std::vector<Eigen::Vector3f>& points, int radius);
  void clean_rangedata(const RangeData& frame, std::vector<char>& marks);
  void clear_delete_flag();

  int frame_count() const;
  int integrated_count() const;
  const TsdfVolume* volume() const { return m_volume.get(); }

 private:
  void make_volume();

  std::unique_ptr<RangeFrameLists> m_lists;
  std::unique_ptr<TsdfVolume> m_volume;
  DentalFusionMeshParam m_param;
};

}  // namespace TavoAlgorithm

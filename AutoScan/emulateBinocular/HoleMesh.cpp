// The scoring mesh step of EmulateBinHelper: the slot, update_hole_mesh and
// the robot planners' pose choice.
#include "AutoScan/emulateBinocular/EmulateBinHelper.h"
#include "common/console.h"
#include "geometry/MeshMerge.h"

namespace TavoAlgorithm {

void EmulateBinHelper::set_source_mesh(const BaseTriMesh* model) {
  m_mesh.reset();
  m_sourceMesh = model;
}

void EmulateBinHelper::release_scoring_mesh() {
  m_mesh.reset();
  m_sourceMesh = nullptr;
}

int EmulateBinHelper::update_hole_mesh(bool keepPatches, int& firstHoleFace) {
  ScoringMesh built;
  if (const BaseTriMesh* source = scoring_mesh()) {
    const HoleMeshSettings settings{m_minShellSize, m_maxHoleSize, m_addBase, m_baseHeight, m_valueBoxes};
    build_scoring_mesh(*source, settings, keepPatches, built);
  }
  if (keepPatches) m_holePatches = std::move(built.patches);
  firstHoleFace = built.firstHoleFace;
  m_mesh = std::make_unique<BaseTriMesh>(std::move(built.mesh));
  m_sourceMesh = nullptr;
  BaseTriMesh& mesh = *m_mesh;
  const int holeEnd = mesh.get_fn();
  if (mesh.get_vn() == 0) {
    stop_drawing();
    return HOLE_MESH_EMPTY;
  }
  if (holeEnd == firstHoleFace) {
    TAVO_LOG_WARNING("none hole need scan !");
    stop_drawing();
    return HOLE_MESH_UPLOADED;
  }
  if (m_addBase) {
    BaseTriMesh disc = m_baseDisc;
    for (int v = 0; v < disc.get_vn(); ++v) {
      const Eigen::Vector3f& p = disc.get_vCoord(v);
      disc.set_vCoord(v, {p.x(), p.y(), m_baseHeight});
    }
    merge_mesh(mesh, disc);
  }
  return upload_scoring_mesh(mesh, make_hole_face_mask(mesh.get_fn(), firstHoleFace, holeEnd));
}

int EmulateBinHelper::choose_robot_pose(std::vector<float>& results, float& value, bool keepPatches) {
  value = 0.f;
  if (!scoring_mesh()) {
    TAVO_LOG_ERROR("base tri mesh is empty!");
    return -1;
  }
  int firstHoleFace = 0;
  if (update_hole_mesh(keepPatches, firstHoleFace) != HOLE_MESH_UPLOADED || !m_holeFacesDrawn) {
    // Nothing to scan: no view is worth rendering, and none is used up.
    results.assign(m_used.size(), 0.f);
    return 0;
  }
  const int chosen = select_best_candidate(results);
  if (chosen >= 0 && chosen < static_cast<int>(results.size())) value = results[chosen];
  return chosen;
}

}  // namespace TavoAlgorithm

#include "ShellFlood.h"

#include "MeshShells.h"

namespace TavoAlgorithm {

void flood_shells(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo, std::vector<bool>& done,
                  std::vector<std::vector<std::int32_t>>& shells) {
  const int fn = mesh.get_fn();
  if (fn == 0 || static_cast<int>(done.size()) != fn ||
      static_cast<int>(topo.edge_table().size()) != fn)
    return;
  for (int f = 0; f < fn; ++f) {
    if (done[f]) continue;
    std::vector<std::int32_t> shell{f};
    done[f] = true;
    for (std::size_t i = 0; i < shell.size(); ++i) {
      const std::int32_t g = shell[i];
      for (int k = 0; k < 3; ++k) {
        const auto tids = topo.find_all_tids(mesh, g, k);
        if (tids.size() != 2) continue;
        const std::int32_t other = tids[0] == g ? tids[1] : tids[0];
        if (done[other]) continue;
        done[other] = true;
        shell.push_back(other);
      }
    }
    shells.push_back(std::move(shell));
  }
}

void find_shells(const BaseTriMesh& mesh, const OrvaneSimpleTopos& topo, std::vector<bool> done,
                 std::vector<std::vector<std::int32_t>>& shells) {
  shells.clear();
  flood_shells(mesh, topo, done, shells);
}

RetVal remove_small_shells(BaseTriMesh& mesh, const OrvaneSimpleTopos& topo, std::int32_t minShellSize) {
  const int fn = mesh.get_fn();
  if (topo.is_empty(TOPOS_EDGE) || static_cast<int>(topo.edge_table().size()) != fn || !mesh.has_fFlag())
    return RETVAL_FAILED;
  // Bytes, not bits: the workers write neighbouring marks.
  std::vector<char> skip(static_cast<std::size_t>(fn));
#pragma omp parallel for
  for (int f = 0; f < fn; ++f) skip[f] = mesh.get_fDeleted(f) || topo.edge_table()[f][0] < 0;
  std::vector<std::vector<std::int32_t>> shells;
  find_shells(mesh, topo, std::vector<bool>(skip.begin(), skip.end()), shells);
  const int sn = static_cast<int>(shells.size());
  // Each shell's faces are its own, so the workers never share a flag.
#pragma omp parallel for schedule(dynamic)
  for (int s = 0; s < sn; ++s) {
    const auto& shell = shells[s];
    if (shell.empty() || static_cast<std::int64_t>(shell.size()) > minShellSize) continue;
    for (std::int32_t f : shell) mesh.set_fFlag(f, mesh.get_fFlag(f) | FLAG_DELETED);
  }
  squeeze_baseTriMesh(mesh);
  return RETVAL_SUCCESS;
}

}  // namespace TavoAlgorithm

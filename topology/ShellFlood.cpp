#include "ShellFlood.h"

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

}  // namespace TavoAlgorithm

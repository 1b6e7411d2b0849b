#include "geometry/MeshMerge.h"

namespace TavoAlgorithm {

void merge_mesh(BaseTriMesh& mesh, const BaseTriMesh& part) {
  const int vBase = mesh.get_vn();
  const int fBase = mesh.get_fn();
  mesh.resize_vn(vBase + part.get_vn());
  for (int v = 0; v < part.get_vn(); ++v) {
    const int to = vBase + v;
    mesh.set_vCoord(to, part.get_vCoord(v));
    if (mesh.has_vNormal() && part.has_vNormal()) mesh.set_vNrv(to, part.get_vNrv(v));
    if (mesh.has_vColor() && part.has_vColor()) mesh.set_vColor(to, part.get_vColor(v));
    if (mesh.has_vFlag() && part.has_vFlag()) mesh.set_vFlag(to, part.get_vFlag(v));
  }
  mesh.resize_fn(fBase + part.get_fn());
  for (int f = 0; f < part.get_fn(); ++f) {
    const BaseTriFace& face = part.get_face(f);
    const int to = fBase + f;
    mesh.set_face(to, {face[0] + vBase, face[1] + vBase, face[2] + vBase});
    if (mesh.has_fFlag() && part.has_fFlag()) mesh.set_fFlag(to, part.get_fFlag(f));
    if (mesh.has_fNormal() && part.has_fNormal()) mesh.set_fNrv(to, part.get_fNrv(f));
  }
}

}  // namespace TavoAlgorithm

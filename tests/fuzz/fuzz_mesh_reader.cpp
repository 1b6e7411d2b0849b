// Arbitrary bytes as a mesh file of one format (TAVO_FUZZ_MESH_EXT: ply,
// obj, off or stl), read with read_mesh into the array mesh. A success must
// give finite points and faces that name them.
#include <cstdlib>

#include "fuzz_file.h"
#include "geometry/TriMesh.h"

using namespace TavoAlgorithm;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_console();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::write_input(std::string("mesh.") + TAVO_FUZZ_MESH_EXT, data, size);
  BaseTriMesh m;
  if (!read_mesh(m, path)) return 0;
  if (!m.faces_valid()) std::abort();
  for (int v = 0; v < m.get_vn(); ++v)
    if (!m.get_vCoord(v).allFinite()) std::abort();
  return 0;
}

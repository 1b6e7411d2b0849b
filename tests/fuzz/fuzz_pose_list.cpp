// Arbitrary bytes as a ".conf" pose list next to one good scan "a.ply", read
// with every scan it names. A success must give finite rotations.
#include <cstdlib>

#include "fuzz_file.h"
#include "geometry/RangeScanIO.h"

using namespace TavoAlgorithm;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_console();
  const std::string scan =
      "ply\nformat ascii 1.0\nobj_info num_cols 2\nobj_info num_rows 1\nelement vertex 1\n"
      "property float x\nproperty float y\nproperty float z\nelement range_grid 2\n"
      "property list uchar int vertex_indices\nend_header\n0 0 1\n0\n1 0\n";
  fuzz::write_input("a.ply", reinterpret_cast<const std::uint8_t*>(scan.data()), scan.size());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::write_input("list.conf", data, size);
  std::vector<RangeData> frames;
  if (read_range_scans(path, frames) != RETVAL_SUCCESS) return 0;
  for (const auto& f : frames)
    if (!f.get_rigidMatrix().get_rotation().allFinite()) std::abort();
  return 0;
}

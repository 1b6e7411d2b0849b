// Arbitrary bytes as a range-scan PLY (ascii or binary, as the header says).
// Any crash, leak, hang or undefined behaviour is a finding; a success must
// give a consistent frame.
#include <cstdlib>

#include "fuzz_file.h"
#include "geometry/RangeScanIO.h"

using namespace TavoAlgorithm;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_console();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::write_input("scan.ply", data, size);
  RangeData r;
  if (read_range_scan(path, r) != RETVAL_SUCCESS) return 0;
  // Every cell names a vertex of the frame or none, and no vertex twice.
  std::vector<char> seen(static_cast<std::size_t>(r.get_vn()), 0);
  for (int y = 0; y < r.get_rows(); ++y)
    for (int x = 0; x < r.get_cols(); ++x) {
      const int v = r.get_cellVertex(y, x);
      if (v < -1 || v >= r.get_vn() || (v >= 0 && seen[static_cast<std::size_t>(v)]++)) std::abort();
    }
  for (int v = 0; v < r.get_vn(); ++v)
    if (!r.get_vCoord(v).allFinite()) std::abort();
  return 0;
}

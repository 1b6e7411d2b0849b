// Feeds arbitrary bytes to the trace reader with the parameter lists of the
// recorded fusion calls (send_rangeData, get_triMesh), in both sequence
// layouts. Any crash, leak or undefined behaviour is a finding; refusals are
// the expected outcome for most inputs.
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <vector>

#include "common/trace/ArchiveReader.h"

using namespace TavoAlgorithm;

namespace {

void read_send_rangeData(const std::vector<std::uint8_t>& bytes, bool oldVectors) {
  std::vector<const RangeData*> frames;
  std::vector<RigidMatrix> corrections;
  std::vector<std::vector<float>> weights;
  bool isSample = false;
  ArchiveReader r;
  r.add(frames, "rangeDatas");
  r.add(corrections, "dRts");
  r.add(weights, "extreWeight");
  r.add(isSample, "isSample");
  if (oldVectors) r.set_option("get_old_std_vector_mode", "true");
  MemoryReadAble in(bytes);
  r.read_file(in);
}

void read_get_triMesh(const std::vector<std::uint8_t>& bytes) {
  std::vector<const RangeData*> frames;
  std::vector<std::vector<Eigen::Vector3f>> normals;
  std::vector<RigidMatrix> corrections;
  std::vector<std::vector<float>> weights;
  std::vector<std::vector<bool>> marks;
  ArchiveReader r;
  r.add(frames, "modelList");
  r.add(normals, "otherNrvs");
  r.add(corrections, "deltaRigids");
  r.add(weights, "allExtraWeight");
  r.add(marks, "sampleFlags");
  MemoryReadAble in(bytes);
  r.read_file(in);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The reader explains every refusal on stdout; millions of lines only slow
  // the run down.
  std::cout.setstate(std::ios::failbit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  read_send_rangeData(bytes, false);
  read_send_rangeData(bytes, true);
  read_get_triMesh(bytes);
  release_replay_frames();
  return 0;
}

// Feeds arbitrary bytes to the trace reader with the parameter lists of the
// recorded fusion calls (send_rangeData, get_triMesh), in both sequence
// layouts, and with a list of every recorded type whose values are then read
// field by field (an invalid bool or a cell naming no vertex would show
// there). Any crash, leak or undefined behaviour is a finding; refusals are
// the expected outcome for most inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_file.h"
#include "trace_all_types.h"

using namespace TavoAlgorithm;

namespace {

volatile std::uint64_t g_sink = 0;

void touch(const void* p, std::size_t n) {
  std::uint64_t h = 0;
  const auto* b = static_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n; ++i) h = h * 131 + b[i];
  g_sink = g_sink + h;
}
void touch(bool b) { g_sink = g_sink + (b ? 1 : 2); }
template <typename V>
void touch_all(const std::vector<V>& v) {
  if (!v.empty()) touch(v.data(), v.size() * sizeof(V));
}

void touch(const Cloud& c) {
  touch_all(c.get_vCoords());
  for (int i = 0; i < c.get_vn(); ++i) {
    if (c.has_vNormal()) touch(c.get_vNrv(i).data(), sizeof(Eigen::Vector3f));
    if (c.has_vColor()) touch(&c.get_vColor(i), sizeof(Color3b));
    if (c.has_vFlag()) touch(c.get_vDeleted(i));
  }
}

void touch(const RangeData& r) {
  touch(static_cast<const Cloud&>(r));
  for (int y = 0; y < r.get_rows(); ++y)
    for (int x = 0; x < r.get_cols(); ++x) {
      const int v = r.get_cellVertex(y, x);
      if (v < -1 || v >= r.get_vn()) std::abort();
      touch(&v, sizeof(v));
    }
  for (int i = 0; i < r.get_vn(); ++i) touch(r.get_vUV(i).data(), sizeof(Eigen::Vector2f));
  touch(r.get_rigidMatrix().get_rotation().data(), 9 * sizeof(double));
}

void touch(const BaseTriMesh& m) {
  touch(static_cast<const Cloud&>(m));
  if (!m.faces_valid()) std::abort();
  for (int f = 0; f < m.get_fn(); ++f) {
    touch(m.get_face(f).v.data(), 3 * sizeof(int));
    if (m.has_fFlag()) touch(m.get_fDeleted(f));
  }
}

void touch(const fuzz::AllTraceTypes& t) {
  touch(t.flag);
  touch(&t.number, sizeof(t.number));
  touch(&t.count, sizeof(t.count));
  touch(&t.byte, sizeof(t.byte));
  touch(&t.wide, sizeof(t.wide));
  if (t.image.size() > 0) touch(t.image.data(), static_cast<std::size_t>(t.image.size()) * sizeof(Color3b));
  touch(t.pose.get_translation().data(), 3 * sizeof(double));
  const float box[6] = {t.box.minX, t.box.minY, t.box.minZ, t.box.maxX, t.box.maxY, t.box.maxZ};
  touch(box, sizeof(box));
  touch(t.cloud);
  touch(t.frame);
  touch(t.mesh);
  for (const RangeData* f : t.frames) touch(*f);
  for (const auto& p : t.poses) touch(p.get_rotation().data(), 9 * sizeof(double));
  touch_all(t.ids);
  for (const auto& c : t.clouds) touch(c);
  for (const auto& w : t.weights) touch_all(w);
  for (const auto& m : t.marks)
    for (bool b : m) touch(b);
  for (const auto& n : t.normals) touch_all(n);
  for (const auto& l : t.cloudLists)
    for (const auto& c : l) touch(c);
}

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
  if (!r.read_file(in)) return;
  for (const RangeData* f : frames) touch(*f);
  touch(isSample);
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
  if (!r.read_file(in)) return;
  for (const RangeData* f : frames) touch(*f);
  for (const auto& m : marks)
    for (bool b : m) touch(b);
}

void read_all_types(const std::vector<std::uint8_t>& bytes) {
  fuzz::AllTraceTypes t;
  ArchiveReader r;
  fuzz::add_all(r, t);
  MemoryReadAble in(bytes);
  // A refused parameter leaves the ones before it read: touch those too.
  r.read_file(in);
  touch(t);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_console();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  read_send_rangeData(bytes, false);
  read_send_rangeData(bytes, true);
  read_get_triMesh(bytes);
  read_all_types(bytes);
  release_replay_frames();
  return 0;
}

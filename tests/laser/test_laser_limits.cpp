#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <map>
#include <new>
#include <algorithm>

#include "RealTimeFusionCloudHelper.h"
#include "laser_scan_util.h"

using namespace laser_test;
using TavoAlgorithm::RealTimeFusionCloudHelper;

// Allocations of at least this many bytes fail while it is non-zero: the
// helper's cloud growth is then out of memory, everything small still works.
static std::atomic<std::size_t> gFailFrom{0};

void* operator new(std::size_t n) {
  const std::size_t limit = gFailFrom.load(std::memory_order_relaxed);
  if (limit != 0 && n >= limit) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
// The nothrow forms must share the allocator, or a pool block taken with
// new (std::nothrow) would be freed by the replaced delete[] from another heap.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try { return operator new(n); } catch (...) { return nullptr; }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {
// Ids are handed out in parallel, so two helpers agree on the points only.
Points live_points(RealTimeFusionCloudHelper& h) {
  std::vector<int> changed;
  const Cloud& c = h.get_cloud(changed);
  Points out;
  for (int id : h.get_valid_ids(true)) out.push_back({c.get_vCoord(id).x(), c.get_vCoord(id).y(), c.get_vCoord(id).z()});
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<Cloud> lines_of(const sim::LaserFrame& f) {
  std::vector<Cloud> lines;
  for (const auto& l : f.lines) lines.emplace_back().set_vCoords(std::vector<V3>(l.points));
  return lines;
}
}  // namespace

TEST(RealTimeHelperLimits, HugeExtendRadiiAreCappedLikeTheConstructors) {
  RealTimeFusionCloudHelper h(kCell, 0.04f, 1e30f, false);
  EXPECT_EQ(h.octree()->get_extend_radius(), 64u);
  for (const unsigned r : {65u, 2000000u, std::numeric_limits<unsigned>::max()}) {
    h.set_extend_radius(r);
    EXPECT_EQ(h.octree()->get_extend_radius(), 64u) << r;
    EXPECT_EQ(h.octree()->integrator().intOffsets.size(), 64u * 64u * 64u) << r;
  }
  h.set_extend_radius(3);
  EXPECT_EQ(h.octree()->integrator().intOffsets.size(), 27u);
}

// A refresh that runs out of memory keeps the touched cells queued: the next
// refresh gives every point a helper that never failed gives.
TEST(RealTimeHelperLimits, CloudRefreshOutOfMemoryLosesNoPoints) {
  const V3 c(1, 2, 3);
  sim::Scene scene;
  scene.spheres.push_back({c, 2.f});
  RealTimeFusionCloudHelper failing(kCell, kCell, 3.f, true), steady(kCell, kCell, 3.f, true);
  for (const auto& f : sweeps(scene, c, {V3(0, 0, 1)}, 6.f, 1.5f, 30, 0.f)) {
    ASSERT_EQ(failing.fusion_one_laser(lines_of(f), f.pose), 0);
    ASSERT_EQ(steady.fusion_one_laser(lines_of(f), f.pose), 0);
  }
  std::vector<int> changed = {7};
  gFailFrom = 1u << 22;
  const int points = failing.get_cloud(changed).get_vn();
  gFailFrom = 0;
  EXPECT_EQ(changed, std::vector<int>{7});
  EXPECT_EQ(points, 0);
  const auto want = live_points(steady);
  ASSERT_GT(want.size(), 100u);
  EXPECT_TRUE(live_points(failing) == want);
  // The ids are appended to what the caller holds.
  std::vector<int> more = {-5};
  for (const auto& f : sweeps(scene, c, {V3(1, 0, 0)}, 6.f, 1.5f, 10, 0.f))
    ASSERT_EQ(failing.fusion_one_laser(lines_of(f), f.pose), 0);
  failing.get_cloud(more);
  ASSERT_GT(more.size(), 1u);
  EXPECT_EQ(more.front(), -5);
}

// The helper's marching-cubes cloud carries normals that face the scanner,
// out of the scanned sphere (the tangent octree's own mesh faces inward).
TEST(RealTimeHelperLimits, MarchingCubeCloudNormalsFaceOutward) {
  const V3 c(1, 2, 3);
  sim::Scene scene;
  scene.spheres.push_back({c, 2.f});
  RealTimeFusionCloudHelper h(kCell, kCell, 3.f, true);
  std::vector<int> changed;
  for (const auto& f : sweeps(scene, c, kSixSides, 6.f, 2.5f, 40, 0.f)) {
    h.fusion_one_laser(lines_of(f), f.pose);
    h.get_cloud(changed);  // the cells' distances are refreshed here
  }
  Cloud out;
  h.get_marching_cube_cloud(out);
  ASSERT_GT(out.get_vn(), 100);
  ASSERT_TRUE(out.has_vNormal());
  int outward = 0;
  for (int i = 0; i < out.get_vn(); ++i) outward += out.get_vNrv(i).dot(out.get_vCoord(i) - c) > 0.f;
  EXPECT_GT(outward, 0.75 * out.get_vn());  // about 85% here; reversed, about 15%
}

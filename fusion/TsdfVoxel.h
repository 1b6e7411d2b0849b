#pragma once
// TsdfVoxel: the payload of one TSDF cell. `lock` guards state, both sums and
// count while frames are integrated or removed; extraction owns the id fields
// (each written by the task of its own voxel, cube faces under the lock).
#include <array>
#include <cstdint>

#include "grid/SpinLock.h"

namespace TavoAlgorithm {

// Weight sums at or below this carry no distance (missing voxel for the surface).
inline constexpr float kTsdfMinWeight = 1e-5f;

// Delete-mark bits: bit 0 is set by region selection; bits 1-3 are further
// kinds that clear_delete_flag(kind) clears as bit kind - 1.
inline constexpr std::uint8_t TSDF_MARK_REGION = 1u << 0;

// The two bytes sit together at the end: 52 bytes without padding, so that
// a leaf element fills one cache line (integration and extraction wait on
// little else than the first read of a neighbour's element).
struct TsdfVoxel {
  std::uint32_t state = 0;  // 1: changed since the last extraction
  float weightSum = 0.f;
  float distSum = 0.f;  // sum of w * d
  std::uint32_t count = 0;
  std::array<int, 3> edgeVertex{{-1, -1, -1}};   // vertex on the edge to +x, +y, +z
  std::array<int, 5> faceIds{{-1, -1, -1, -1, -1}};  // faces of the cube with this lowest corner
  grid::SpinLock<std::uint8_t> lock;
  std::uint8_t deleteMarks = 0;

  bool has_weight() const { return weightSum > kTsdfMinWeight; }
  float sdf() const { return has_weight() ? distSum / weightSum : 0.f; }
};

}  // namespace TavoAlgorithm

#pragma once
// Payloads of the normal-field volume. `distLock` guards state and the
// distance sums, `normalLock` the normal, deviation and offset sums (and the
// count while deviations are gathered). Twins stay null: this fusion never
// splits a cell by surface side, so the single-voxel rules apply.
#include <array>
#include <cstdint>

#include "grid/SpinLock.h"

namespace TavoAlgorithm {

// Flag bit 2: the frames disagree with the fused normal here.
inline constexpr std::uint8_t NFV_UNRELIABLE = 1u << 2;

struct NormalFieldVoxel {
  std::uint32_t state = 0;
  float weightSum = 0.f;
  float distSum = 0.f;
  std::uint32_t count = 0;
  grid::SpinLock<std::uint8_t> distLock;
  grid::SpinLock<std::uint8_t> normalLock;
  std::array<float, 3> normal{{0.f, 0.f, 0.f}};  // unit after normalisation
  float deviationSum = 0.f;
  std::uint8_t flags = 0;
  NormalFieldVoxel* twin = nullptr;
};

// The offset variant: where the cell centre lies relative to the points near
// its normal line (near sums) and to the others in reach (far sums).
struct NormalOffsetVoxel : NormalFieldVoxel {
  std::array<float, 3> nearSum{{0.f, 0.f, 0.f}};
  float nearWeight = 0.f;
  std::array<float, 3> farSum{{0.f, 0.f, 0.f}};
  float farWeight = 0.f;
};

}  // namespace TavoAlgorithm

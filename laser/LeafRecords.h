#pragma once
// Per-cell records of the laser octree: Leaf (normal variant) and LeafTangent
// (tangent variant). A value-initialised record is the "created" state: all
// sums zero, no twin, vertex id -1. Fields are written under `lock` by line
// integration; whole-tree passes touch each record from one task only.
// `twin` points into the helper's twin pool (not owned, never freed alone).
#include <Eigen/Core>
#include <array>
#include <cstdint>

#include "grid/SpinLock.h"

namespace LaserReconstrcution {

// Flag bits shared by both records.
inline constexpr std::uint8_t LEAF_UPDATED = 1u << 0;         // since the last incremental extraction
inline constexpr std::uint8_t LEAF_NORMAL_STALE = 1u << 1;    // normal to be re-estimated
inline constexpr std::uint8_t LEAF_DARK_ESTIMABLE = 1u << 2;  // normal estimable in dark mode
inline constexpr std::uint8_t LEAF_CONFIRMED = 1u << 3;       // LeafTangent: confirmed by neighbours

struct Leaf {
  float sdf = 0.f;
  Eigen::Vector3f normalSum = Eigen::Vector3f::Zero();  // sum w1 * n
  float weight = 0.f;                                   // sum w1
  Eigen::Vector3f offsetSum = Eigen::Vector3f::Zero();  // sum w2 * (P - c)
  int count = 0;
  std::uint8_t flags = 0;
  float weight2 = 0.f;  // sum w2
  Leaf* twin = nullptr;
  TavoAlgorithm::grid::SpinLock<int> lock;
};

// Symmetric 3 x 3 moments, upper triangle xx, xy, xz, yy, yz, zz.
using Moments6 = std::array<float, 6>;

struct LeafTangent {
  float sdf = 0.f;
  Eigen::Vector3f normal = Eigen::Vector3f::Zero();     // unit estimate, 0 until estimated
  Eigen::Vector3f lastPoint = Eigen::Vector3f::Zero();  // P of the latest contribution
  Moments6 momentsA{};                                  // sum w * t t^T of fused tangents
  Moments6 momentsB{};                                  // sum w * u u^T between contributions
  Eigen::Vector3f offsetSum = Eigen::Vector3f::Zero();
  float weight = 0.f;
  int count = 0;
  int vertexId = -1;
  std::uint8_t flags = 0;
  float weight2 = 0.f;
  LeafTangent* twin = nullptr;
  TavoAlgorithm::grid::SpinLock<int> lock;
};

}  // namespace LaserReconstrcution

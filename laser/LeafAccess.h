#pragma once
// Uniform read and write access to the two laser records for the code that
// serves both: the normal of a record (normal sum normalised for Leaf, the
// stored estimate for LeafTangent), its vertex id (Leaf has none) and the
// normal update of the normal variant. Callers hold the record's lock or
// are the only task touching it.
#include <Eigen/Core>
#include <cmath>
#include <cstddef>
#include <type_traits>

#include "laser/LeafRecords.h"

namespace LaserReconstrcution {

// A component at most this large in absolute value counts as zero.
inline constexpr float kZeroComponent = 1e-5f;

inline bool is_zero_vector(const Eigen::Vector3f& v) {
  return (v.array().abs() <= kZeroComponent).all();
}

template <typename T>
inline constexpr bool kHasTangents = std::is_same_v<T, LeafTangent>;

// Raw orientation used by the twin tests (sums for Leaf, not normalised).
inline const Eigen::Vector3f& raw_normal(const Leaf& r) { return r.normalSum; }
inline const Eigen::Vector3f& raw_normal(const LeafTangent& r) { return r.normal; }

inline Eigen::Vector3f unit_normal(const Leaf& r) { return r.normalSum.normalized(); }
inline Eigen::Vector3f unit_normal(const LeafTangent& r) { return r.normal; }

inline int vertex_id(const Leaf&) { return -1; }
inline int vertex_id(const LeafTangent& r) { return r.vertexId; }

// Normal-variant contribution w1 * n. A LeafTangent keeps a unit normal
// only, so it keeps the weighted mean direction instead of the sum.
inline void add_normal(Leaf& r, const Eigen::Vector3f& n, float w1) { r.normalSum += w1 * n; }
inline void add_normal(LeafTangent& r, const Eigen::Vector3f& n, float w1) {
  r.normal = (r.normal * r.weight + w1 * n).normalized();
}

// Fetches every cache line of a leaf element (a record spans two or three)
// ahead of its use, so that the misses of a run of records overlap.
template <typename E>
inline void prefetch_record(const E& e) {
  const char* p = reinterpret_cast<const char*>(&e);
  for (std::size_t b = 0; b < sizeof(E); b += 64) __builtin_prefetch(p + b);
  __builtin_prefetch(p + sizeof(E) - 1);
}

}  // namespace LaserReconstrcution

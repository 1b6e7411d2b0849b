#pragma once
// One-byte vertex and face flags. Bit 0 marks a deleted element, bit 3 a
// vertex whose removal is pending (set when a frame is withdrawn and cleared
// once the volume has subtracted it).
#include <cstdint>

namespace TavoAlgorithm {

using VertexFlag = std::uint8_t;
using FaceFlag = std::uint8_t;

inline constexpr std::uint8_t FLAG_DELETED = 1u << 0;
inline constexpr std::uint8_t FLAG_REMOVAL_PENDING = 1u << 3;

}  // namespace TavoAlgorithm

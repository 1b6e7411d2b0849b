#pragma once
// Per-pixel (and per-point) bodies of the image kernels, shared by both back
// ends like the voxel cells.
#include "common/gpu/gpu_atomics.h"

namespace TavoGPUAlgorithm {

// Face-id image: RGBA8 with id = A<<24 | R<<16 | G<<8 | B, face = id - 1.
TAVO_HD inline unsigned decode_face_id(const std::uint8_t* rgba) {
  return (static_cast<unsigned>(rgba[3]) << 24) | (static_cast<unsigned>(rgba[0]) << 16) |
         (static_cast<unsigned>(rgba[1]) << 8) | static_cast<unsigned>(rgba[2]);
}

// Weight of a pixel that looks at a back face (through a hole) and of others.
inline constexpr float kThroughHoleWeight = 1.0f;
inline constexpr float kOpenWeight = 0.1f;

// View score of one face-id image against the block storage; with a visit
// mask (full kernel) it also marks the voxels seen.
struct PixelScoreCell {
  const std::uint8_t* faceIds;
  const std::uint8_t* weights;
  int width;
  int height;
  const float* vertices;
  const int* faces;
  int faceCount;
  const float* origin;
  const int* dims;
  const float* values;
  int* visitMask;  // null for the simple kernel
  const int* table;
  int* newBlockMask;
  float edge;
  int blockCount;
  float* score;

  TAVO_HD Dim3i extent() const { return {width, height, 1}; }
  TAVO_HD void operator()(int x, int y, int z) const {
    if (x < 0 || y < 0 || z != 0 || x >= width || y >= height) return;
    const int p = y * width + x;
    const std::uint8_t* px = faceIds + 4 * p;
    if (px[0] == 0 && px[1] == 0 && px[2] == 0) return;
    // An image can outlive the mesh it was drawn from; ids past the uploaded
    // faces name nothing.
    const unsigned id = decode_face_id(px);
    if (faceCount <= 0 || id > static_cast<unsigned>(faceCount)) return;
    const int f = static_cast<int>(id - 1u);
    const float* a = vertices + 3 * faces[3 * f];
    const float* b = vertices + 3 * faces[3 * f + 1];
    const float* c = vertices + 3 * faces[3 * f + 2];
    int q[3];
    for (int k = 0; k < 3; ++k) {
      const float centroid = (a[k] + b[k] + c[k]) / 3.0f;
      const float t = (centroid - origin[k]) / edge;
      // Truncation toward zero keeps a centroid just below the origin in
      // voxel 0; the range test comes first so NaN never reaches the cast.
      if (!(t > -1.0f && t < static_cast<float>(dims[k]))) return;
      q[k] = static_cast<int>(t);
      if (q[k] >= dims[k]) return;
    }
    const Dim3i voxelDims{dims[0], dims[1], dims[2]};
    const Dim3i bd = block_dims_of(voxelDims);
    const int block = linear_index(bd, q[0] / kBlockEdge, q[1] / kBlockEdge, q[2] / kBlockEdge);
    if (block >= blockCount) return;
    const int slot = table[block];
    if (slot < kBlockWithoutStorage) return;
    if (visitMask) {
      const int cell = linear_index(voxelDims, q[0], q[1], q[2]);
      atomic_or(visitMask + cell / 32, mask_bit_value(cell));
    }
    const float w = weights[p] == 0 ? kOpenWeight : kThroughHoleWeight;
    if (slot >= 0) {
      atomic_add(score, w * values[slot * kVoxelsPerBlock + local_offset(q[0], q[1], q[2])]);
    } else {
      atomic_add(score, w);
      atomic_or(newBlockMask + block / 32, mask_bit_value(block));
    }
  }
};

// 8-bit depth of a window z: 0 at the near plane, 255 at the far plane.
TAVO_HD inline int depth_byte(float windowZ) {
  if (windowZ > 1.0f) return 255;
  if (windowZ < 0.0f) return 0;
  return static_cast<int>(windowZ * 255.0f);
}

// Flags the points that lie strictly in front of a rendered 8-bit depth map.
struct OverlapPointCell {
  const float* points;
  const float* viewProj;  // column-major
  char* flags;
  const std::uint8_t* depth;
  int count;
  Dim2i size;
  int side;

  TAVO_HD Dim3i extent() const { return {side, side, side}; }
  TAVO_HD void operator()(int x, int y, int z) const {
    if (x >= side || y >= side || z >= side) return;
    const long long i = (static_cast<long long>(z) * side + y) * side + x;
    if (i >= count || flags[i] == 1) return;
    const float* pt = points + 3 * i;
    const float* m = viewProj;
    float clip[4];
    for (int r = 0; r < 4; ++r) clip[r] = m[r] * pt[0] + m[4 + r] * pt[1] + m[8 + r] * pt[2] + m[12 + r];
    const float u = clip[0] / clip[3] * 0.5f + 0.5f;
    const float v = clip[1] / clip[3] * 0.5f + 0.5f;
    const float wz = clip[2] / clip[3] * 0.5f + 0.5f;
    if (!(u >= 0.0f && u <= 1.0f && v >= 0.0f && v <= 1.0f)) return;
    const long long px = static_cast<long long>(size.x * u);
    const long long py = static_cast<long long>(size.y * v);
    const long long pixel = py * size.x + px;
    if (pixel >= static_cast<long long>(size.x) * size.y) return;
    if (depth[pixel] > depth_byte(wz)) flags[i] = 1;
  }
};

// Counts the non-zero bytes of a one-channel image.
struct ColorPixelCountCell {
  const std::uint8_t* image;
  Dim2i size;
  int* counter;
  TAVO_HD Dim3i extent() const { return {size.x, size.y, 1}; }
  TAVO_HD void operator()(int x, int y, int z) const {
    if (x >= size.x || y >= size.y || z != 0) return;
    if (image[y * size.x + x] != 0) atomic_add(counter, 1);
  }
};

// Flags the faces that a face-id image shows.
struct ScanFidsCell {
  const std::uint8_t* faceIds;
  Dim2i size;
  char* faceFlags;
  int faceCount;
  TAVO_HD Dim3i extent() const { return {size.x, size.y, 1}; }
  TAVO_HD void operator()(int x, int y, int z) const {
    if (x >= size.x || y >= size.y || z != 0) return;
    const std::uint8_t* px = faceIds + 4 * (y * size.x + x);
    if ((px[0] | px[1] | px[2] | px[3]) == 0) return;
    const unsigned id = decode_face_id(px);
    if (id >= 1u && id <= static_cast<unsigned>(faceCount)) atomic_set_flag(faceFlags + (id - 1u));
  }
};

// Every cell adds one: proves that kernels run. 4 x 4 blocks of 16 x 16.
inline constexpr int kSampleTestSide = 64;
struct SampleTestCell {
  int* counter;
  TAVO_HD Dim3i extent() const { return {kSampleTestSide, kSampleTestSide, 1}; }
  TAVO_HD void operator()(int x, int y, int z) const {
    if (x < kSampleTestSide && y < kSampleTestSide && z == 0) atomic_add(counter, 1);
  }
};

}  // namespace TavoGPUAlgorithm

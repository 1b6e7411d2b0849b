#pragma once
// The marching-cubes numbering and case table shared by every extraction.
//
// Cube with lowest corner c. Corners: k0 = c+(0,0,1), k1 = c+(1,0,1),
// k2 = c+(1,0,0), k3 = c, k4 = c+(0,1,1), k5 = c+(1,1,1), k6 = c+(1,1,0),
// k7 = c+(0,1,0). Edge ek joins the corners of kEdgeCorners[k] (e0: k0-k1 ...
// e11: k3-k7) and is owned by the cell kEdgeOwner[k] (offset from c) along
// axis kEdgeAxis[k] (0 x, 1 y, 2 z).
//
// Case table: row = cube index (sum of 2^k over the inside corners), up to
// five edge triples, -1 terminated. Written in the reverse orientation, so a
// triangle emitted as (third, second, first) edge faces the outside. The rows
// are built once from the numbering: the surface is traced around the cube
// faces, and on a face with two diagonal inside corners the inside corners
// are kept apart, a rule that depends only on that face's corners, so the
// two cubes sharing a face always cut it the same way (no cracks).
#include <array>
#include <cstdint>

namespace TavoAlgorithm::mc {

inline constexpr int kCornerOffset[8][3] = {{0, 0, 1}, {1, 0, 1}, {1, 0, 0}, {0, 0, 0},
                                            {0, 1, 1}, {1, 1, 1}, {1, 1, 0}, {0, 1, 0}};
inline constexpr int kEdgeCorners[12][2] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}, {4, 5}, {5, 6},
                                            {6, 7}, {7, 4}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
inline constexpr int kEdgeOwner[12][3] = {{0, 0, 1}, {1, 0, 0}, {0, 0, 0}, {0, 0, 0},
                                          {0, 1, 1}, {1, 1, 0}, {0, 1, 0}, {0, 1, 0},
                                          {0, 0, 1}, {1, 0, 1}, {1, 0, 0}, {0, 0, 0}};
inline constexpr int kEdgeAxis[12] = {0, 2, 0, 2, 0, 2, 0, 2, 1, 1, 1, 1};

inline constexpr int kMaxTrianglesPerCube = 5;
inline constexpr int kRowLength = 16;

using CaseTable = std::array<std::array<std::int8_t, kRowLength>, 256>;

// The table (built on first use, thread-safe).
const CaseTable& triangle_table();

}  // namespace TavoAlgorithm::mc

#pragma once
// Archive encodings of the geometry types (little-endian, see ArchiveCodec.h).
//   RigidMatrix: 9 doubles (rotation, row-major), 3 doubles (translation).
//   BoundingBox: 6 floats (min x y z, max x y z).
//   Cloud: int32 n, uint8 attribute mask (1 normals, 2 colours, 4 flags),
//     n * 3 floats coordinates, then per enabled attribute n * 3 floats
//     normals, n * 3 bytes colours, n bytes flags.
//   RangeData: the Cloud encoding, int32 rows, int32 cols, rows * cols int32
//     cell vertices (-1 empty), rows * cols bytes cell flags, n * 2 floats
//     texture coordinates, the pose (RigidMatrix), 3 floats sensor direction.
//   BaseTriMesh: the Cloud encoding, int32 face count m, uint8 mask (1 flags,
//     2 normals), m * 3 int32 corners, m bytes flags, m * 3 floats normals.
// Readers validate every count against the bytes left and every index against
// the vertex count (a grid is 0 x 0 or has sides of 1 to 65536 cells), and
// leave the object unchanged when they fail. The class
// types expose these as their write_archive / read_archive members.
#include "geometry/ArchiveCodec.h"
#include "geometry/BoundingBox.h"
#include "geometry/RigidMatrix.h"

namespace TavoAlgorithm {

bool write_archive(WriteAble& out, const RigidMatrix& m);
bool read_archive(ReadAble& in, RigidMatrix& m);
bool write_archive(WriteAble& out, const BoundingBox& b);
bool read_archive(ReadAble& in, BoundingBox& b);

}  // namespace TavoAlgorithm

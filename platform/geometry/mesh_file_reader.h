#pragma once
// Readers of the mesh files read_mesh accepts (PLY, OBJ, OFF, STL by file
// extension), strict about what comes from outside: sizes are checked
// against the file before anything is reserved, every coordinate must be a
// finite number and every face corner an index of a vertex in the file.
// STL corners are welded by position. Materials, texture coordinates,
// normals and colours are skipped (normals are recomputed from the faces).
#include <string>
#include <vector>

#include <Eigen/Core>

namespace TavoAlgorithm::mesh_file {

struct Polygons {
  std::vector<Eigen::Vector3f> points;
  std::vector<int> corners;       // of every face in turn
  std::vector<int> cornerCounts;  // one per face, at least 3
};

// The file name's extension in lower case ("" without one).
std::string extension_of(const std::string& path);

// False with the reason in `error` (without the path) on any fault.
bool read(const std::string& path, Polygons& out, std::string& error);

}  // namespace TavoAlgorithm::mesh_file

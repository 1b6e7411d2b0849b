#pragma once
// Binary PLY files of the programs (host byte order): vertex x, y, z as float,
// then, when asked for, nx, ny, nz as float and red, green, blue as uchar;
// face as a uchar count with int indices, then, when asked for, red, green,
// blue as uchar.
#include <string>
#include <vector>

#include "geometry/BaseTriMesh.h"

namespace TavoAlgorithm::apps {

struct PlyContents {
  bool vertexNormals = false;                 // the mesh's vertex normals
  const std::vector<Color3b>* vertexColours = nullptr;  // one per vertex
  const std::vector<Color3b>* faceColours = nullptr;    // one per face
};

// False with the reason in `error` when a colour list does not match its
// element, the mesh lacks the vertex normals asked for, a face index lies
// outside the vertices or the file cannot be written.
bool write_binary_ply(const std::string& path, const BaseTriMesh& mesh, const PlyContents& contents,
                      std::string& error);

// The mesh in the format of the path's extension: PLY binary with vertex
// normals (computed from the faces when the mesh has none) unless asciiPly,
// the other formats and text PLY through the platform's mesh writer. False
// with the reason in `error` when it cannot be written.
bool write_program_mesh(const std::string& path, const BaseTriMesh& mesh, bool asciiPly, std::string& error);

// Colour of a distance on a ramp from blue (0) over green to red (`full` and
// beyond); grey for NaN (no distance).
Color3b distance_colour(double distance, double full);

}  // namespace TavoAlgorithm::apps

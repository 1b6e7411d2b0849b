#pragma once
// A mesh with one colour per face as a binary PLY file (host byte order):
// vertex x, y, z as float; face as a uchar count with int indices followed
// by uchar red, green, blue.
#include <string>
#include <vector>

#include "geometry/BaseTriMesh.h"

namespace autoscan_demo {

// False with the reason in `error` when the colours do not match the faces,
// a face index lies outside the vertices or the file cannot be written.
bool write_face_colour_ply(const std::string& path, const TavoAlgorithm::BaseTriMesh& mesh,
                           const std::vector<TavoAlgorithm::Color3b>& faceColours, std::string& error);

}  // namespace autoscan_demo

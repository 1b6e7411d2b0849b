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

// Face colours of a coverage file, one per entry of firstView (the 1-based
// view that first covered the face, 0 for none): blue for view 1 to yellow
// for view `views`; red for a face that some candidate reaches (reachable)
// but no view covered; grey for one no candidate reaches.
std::vector<TavoAlgorithm::Color3b> coverage_colours(const std::vector<int>& firstView,
                                                     const std::vector<char>& reachable, int views);

}  // namespace autoscan_demo

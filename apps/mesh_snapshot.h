#pragma once
// A picture of a mesh rendered off screen through the library's hidden OpenGL
// context (EGL where it can be had, so no display server is needed): the mesh
// seen from the front (+z) and a little above and to the side, fitted to the
// picture, lit by a light at the eye, on a white background.
#include <string>
#include <vector>

#include "geometry/BaseTriMesh.h"
#include "geometry/Image.h"

namespace TavoAlgorithm::apps {

// Renders `mesh` (its vertex colours when `colours` holds one per vertex,
// else grey) into `picture`, width x height RGB pixels, row 0 at the top.
// Vertex normals are computed from the faces when the mesh has none. False
// with the reason in `error` for an empty mesh, bad sizes or faces, or when no
// OpenGL context or render target can be had.
bool render_mesh_picture(const BaseTriMesh& mesh, const std::vector<Color3b>* colours, int width, int height,
                         Image<3, std::uint8_t>& picture, std::string& error);

// The same, written as a PNG file.
bool write_mesh_snapshot(const std::string& path, const BaseTriMesh& mesh, const std::vector<Color3b>* colours,
                         int width, int height, std::string& error);

}  // namespace TavoAlgorithm::apps

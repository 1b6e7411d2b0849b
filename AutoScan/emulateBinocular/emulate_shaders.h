#pragma once
// GLSL sources of the binocular renderer and the depth-frame renderer, one
// entry per source line.
#include <initializer_list>
#include <vector>

namespace TavoAlgorithm::shaders {

// Shadow depth of the right camera.
inline const std::vector<const char*> kDepthVertex = {
    "#version 330 core", "layout(location = 0) in vec3 vertex;", "uniform mat4 mvp;", " void main()", "{",
    "    gl_Position = mvp * vec4(vertex, 1.0);", "}"};
inline const std::vector<const char*> kDepthFragment = {"#version 330 core", "void main()", "{", "}"};

// Concatenated source lines.
inline std::vector<const char*> joined_lines(std::initializer_list<std::vector<const char*>> parts) {
  std::vector<const char*> lines;
  for (const auto& p : parts) lines.insert(lines.end(), p.begin(), p.end());
  return lines;
}

// Whether the right camera's depth map shadows the fragment.
inline const std::vector<const char*> kShadowTest = {
    "bool in_shadow()",
    "{",
    "    vec3 p = rightPosition.xyz / rightPosition.w * 0.5 + 0.5;",
    "    if (p.x < 0.0 || p.x > 1.0 || p.y < 0.0 || p.y > 1.0) return true;",
    "    return !(p.z - texture(rightDepthMap, p.xy).r < 1e-4);",
    "}"};

// The face-id colour of `id` (face index + 1), closing main.
inline const std::vector<const char*> kIdColour = {
    "    fColor = vec4(float((id >> 16) & 0xffu), float((id >> 8) & 0xffu), float(id & 0xffu),",
    "                  float((id >> 24) & 0xffu)) / 255.0;", "}"};

// Face ids of the hole faces that the left camera sees and the right one lights.
inline const std::vector<const char*> kIdVertex = {
    "#version 430 core",
    "layout(location = 0) in vec3 vertex;",
    "uniform mat4 mvp;",
    "uniform mat4 rightMvp;",
    "out vec4 rightPosition;",
    "void main()",
    "{",
    "    gl_Position = mvp * vec4(vertex, 1.0);",
    "    rightPosition = rightMvp * vec4(vertex, 1.0);",
    "}"};
inline const std::vector<const char*> kIdFragment = joined_lines({
    {"#version 430 core", "in vec4 rightPosition;", "out vec4 fColor;", "uniform sampler2D rightDepthMap;",
     "layout(std430, binding = 0) buffer holesFaceMaps", "{", "    int holesFaceMap[];", "};"},
    kShadowTest,
    {"void main()",
     "{",
     "    int word = holesFaceMap[gl_PrimitiveID / 32];",
     "    if (!gl_FrontFacing || ((word >> (gl_PrimitiveID % 32)) & 1) == 0 || in_shadow())",
     "    {",
     "        fColor = vec4(0.0, 0.0, 0.0, 0.0);",
     "        return;",
     "    }",
     "    uint id = uint(gl_PrimitiveID) + 1u;"},
    kIdColour});

// Face ids of a draw of the hole faces alone (the hole-face bound): every
// primitive is a hole face, holeFaceIds maps it to its face of the mesh.
inline const std::vector<const char*> kHoleIdFragment = joined_lines({
    {"#version 430 core", "in vec4 rightPosition;", "out vec4 fColor;", "uniform sampler2D rightDepthMap;",
     "layout(std430, binding = 1) buffer holeFaceIdMaps", "{", "    int holeFaceIds[];", "};"},
    kShadowTest,
    {"void main()",
     "{",
     "    if (!gl_FrontFacing || in_shadow())",
     "    {",
     "        fColor = vec4(0.0, 0.0, 0.0, 0.0);",
     "        return;",
     "    }",
     "    uint id = uint(holeFaceIds[gl_PrimitiveID]) + 1u;"},
    kIdColour});

// Weight mask: back faces seen through the (discarded) hole faces.
inline const std::vector<const char*> kMaskVertex = {
    "#version 430 core", "layout(location = 0) in vec3 vertex;", "uniform mat4 mvp;", "void main()", "{",
    "    gl_Position = mvp * vec4(vertex, 1.0);", "}"};
inline const std::vector<const char*> kMaskFragment = {
    "#version 430 core",
    "out vec4 fColor;",
    "layout(std430, binding = 0) buffer holesFaceMaps",
    "{",
    "    int holesFaceMap[];",
    "};",
    "void main()",
    "{",
    "    if (((holesFaceMap[gl_PrimitiveID / 32] >> (gl_PrimitiveID % 32)) & 1) != 0) discard;",
    "    fColor = gl_FrontFacing ? vec4(0.0, 0.0, 0.0, 1.0) : vec4(1.0, 0.0, 0.0, 1.0);",
    "}"};

// 8-bit window depth of a frame.
inline const std::vector<const char*> kFrameVertex = {
    "#version 330 core", "layout(location = 0) in vec3  vertex;", "uniform mat4 mvp;", " out vec4 pos;",
    "void main()", "{", "    gl_Position = mvp * vec4(vertex, 1.0);", "    pos = gl_Position;", "}"};
inline const std::vector<const char*> kFrameFragment = {
    "#version 330 core",
    "in vec4 pos;",
    "out vec4 outColor;",
    "void main()",
    "{",
    "    vec3 p = pos.xyz / pos.w * 0.5 + 0.5;",
    // Truncated to the byte here, as the overlap test truncates a point's
    // depth: the colour conversion rounds, which would put half of the points
    // lying on the drawn surface one level in front of it.
    "    outColor = vec4(floor(clamp(p.z, 0.0, 1.0) * 255.0) / 255.0, 0.0, 0.0, 1.0);",
    "}"};

}  // namespace TavoAlgorithm::shaders

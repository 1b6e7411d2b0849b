#pragma once
// GLSL sources of the plane-scanner renderer, one entry per source line. The
// face mask "holesFaceMap" is an integer texture buffer: bit f % 32 of word
// f / 32 is set while face f (the primitive id) is still to be scanned.
#include <initializer_list>
#include <vector>

namespace TavoAlgorithm::quellan_shaders {

inline const std::vector<const char*> kVertex = {
    "#version 330 core", "layout(location = 0) in vec3 vertex;", "uniform mat4 mvp;", "void main()", "{",
    "    gl_Position = mvp * vec4(vertex, 1.0);", "}"};

// A fragment stage that can ask whether its face is still to be scanned.
inline std::vector<const char*> with_face_mask(std::initializer_list<const char*> main) {
  std::vector<const char*> s = {"#version 330 core",
                                "out vec4 fColor;",
                                "uniform isamplerBuffer holesFaceMap;",
                                "bool unscanned()",
                                "{",
                                "    int word = texelFetch(holesFaceMap, gl_PrimitiveID / 32).r;",
                                "    return ((word >> (gl_PrimitiveID % 32)) & 1) != 0;",
                                "}"};
  s.insert(s.end(), main);
  return s;
}

// Marked pixels: unscanned faces seen from the front.
inline const std::vector<const char*> kMaskFragment = with_face_mask({
    "void main()",
    "{",
    "    fColor = gl_FrontFacing && unscanned() ? vec4(1.0, 0.0, 0.0, 0.0) : vec4(0.0);",
    "}"});

// Face ids (id = face + 1 spread over R, G, B and A) of the same faces.
inline const std::vector<const char*> kIdFragment = with_face_mask({
    "void main()",
    "{",
    "    if (!gl_FrontFacing || !unscanned())",
    "    {",
    "        fColor = vec4(0.0);",
    "        return;",
    "    }",
    "    uint id = uint(gl_PrimitiveID) + 1u;",
    "    fColor = vec4(float((id >> 16) & 0xffu), float((id >> 8) & 0xffu), float(id & 0xffu),",
    "                  float((id >> 24) & 0xffu)) / 255.0;",
    "}"});

}  // namespace TavoAlgorithm::quellan_shaders

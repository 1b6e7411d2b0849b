#pragma once
// Shader program building shared by the off-screen renderers. A failed
// compile or link prints "ERROR::SHADER::<stage>::COMPILATION_FAILED\n" or
// "ERROR::SHADER::PROGRAM::LINKING_FAILED\n" followed by the info log (at
// most 512 characters) and yields 0. Needs a current context.
#include <GL/glew.h>

#include <string>
#include <vector>

namespace TavoAlgorithm {

// Joins source lines, each ending with a newline.
std::string glsl_source(const std::vector<const char*>& lines);

GLuint build_gl_program(const std::string& vertexSource, const std::string& fragmentSource);

// Creates the vertex array, vertex and index buffers of a triangle mesh drawn
// from tightly packed float positions at attribute 0; the index buffer stays
// bound to the vertex array. Needs a current context.
void make_mesh_buffers(GLuint& vao, GLuint& vbo, GLuint& ibo);

// Framebuffer of width x height with a depth renderbuffer and one colour
// renderbuffer of `colourFormat` at attachment 0; true when complete. Leaves
// no framebuffer or renderbuffer bound. Needs a current context.
bool make_render_target(GLuint& fbo, GLuint& depth, GLuint& colour, GLenum colourFormat, int width, int height);

}  // namespace TavoAlgorithm

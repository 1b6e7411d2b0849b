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

}  // namespace TavoAlgorithm

#include "AutoScan/emulateBinocular/gl_program.h"

#include "common/console.h"

namespace TavoAlgorithm {
namespace {

constexpr GLsizei kInfoLogSize = 512;

GLuint compile(GLenum stage, const std::string& source, const char* failure) {
  const GLuint shader = glCreateShader(stage);
  const char* text = source.c_str();
  glShaderSource(shader, 1, &text, nullptr);
  glCompileShader(shader);
  GLint ok = 0;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
  if (!ok) {
    char log[kInfoLogSize] = {};
    glGetShaderInfoLog(shader, kInfoLogSize, nullptr, log);
    console::message(std::string(failure) + log);
    glDeleteShader(shader);
    return 0;
  }
  return shader;
}

}  // namespace

std::string glsl_source(const std::vector<const char*>& lines) {
  std::string s;
  for (const char* l : lines) (s += l) += '\n';
  return s;
}

GLuint build_gl_program(const std::string& vertexSource, const std::string& fragmentSource) {
  const GLuint vs = compile(GL_VERTEX_SHADER, vertexSource, "ERROR::SHADER::VERTEX::COMPILATION_FAILED\n");
  if (!vs) return 0;
  const GLuint fs =
      compile(GL_FRAGMENT_SHADER, fragmentSource, "ERROR::SHADER::FRAGMENT::COMPILATION_FAILED\n");
  if (!fs) {
    glDeleteShader(vs);
    return 0;
  }
  const GLuint program = glCreateProgram();
  glAttachShader(program, vs);
  glAttachShader(program, fs);
  glLinkProgram(program);
  glDeleteShader(vs);
  glDeleteShader(fs);
  GLint ok = 0;
  glGetProgramiv(program, GL_LINK_STATUS, &ok);
  if (!ok) {
    char log[kInfoLogSize] = {};
    glGetProgramInfoLog(program, kInfoLogSize, nullptr, log);
    console::message(std::string("ERROR::SHADER::PROGRAM::LINKING_FAILED\n") + log);
    glDeleteProgram(program);
    return 0;
  }
  return program;
}

void make_mesh_buffers(GLuint& vao, GLuint& vbo, GLuint& ibo) {
  glGenVertexArrays(1, &vao);
  glGenBuffers(1, &vbo);
  glGenBuffers(1, &ibo);
  glBindVertexArray(vao);
  glBindBuffer(GL_ARRAY_BUFFER, vbo);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, ibo);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 3 * sizeof(float), nullptr);
  glEnableVertexAttribArray(0);
  glBindVertexArray(0);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
}

bool make_render_target(GLuint& fbo, GLuint& depth, GLuint& colour, GLenum colourFormat, int width, int height) {
  glGenFramebuffers(1, &fbo);
  glBindFramebuffer(GL_FRAMEBUFFER, fbo);
  glGenRenderbuffers(1, &depth);
  glBindRenderbuffer(GL_RENDERBUFFER, depth);
  glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT, width, height);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, depth);
  glGenRenderbuffers(1, &colour);
  glBindRenderbuffer(GL_RENDERBUFFER, colour);
  glRenderbufferStorage(GL_RENDERBUFFER, colourFormat, width, height);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
  const bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glBindRenderbuffer(GL_RENDERBUFFER, 0);
  return complete;
}

}  // namespace TavoAlgorithm

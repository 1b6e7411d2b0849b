#include "AutoScan/emulateBinocular/DepthFrameRenderer.h"

#include "AutoScan/emulateBinocular/RenderbufferImage.h"
#include "AutoScan/emulateBinocular/emulate_shaders.h"
#include "AutoScan/emulateBinocular/gl_program.h"
#include "common/console.h"
#include "geometry/TavoGLFWWindow.h"

namespace TavoAlgorithm {

using namespace TavoGPUAlgorithm;

struct DepthFrameRenderer::GLObjects {
  GLuint depth = 0, red = 0, fbo = 0, vao = 0, vbo = 0, ibo = 0, program = 0;
  RenderbufferImage image;  // the red renderbuffer as the kernels read it
  ~GLObjects() {
    image.detach();  // before the renderbuffer goes
    std::string err;
    if (!TavoGLFWWindow::alive() || !TavoGLFWWindow::make_current_context(err)) return;
    const GLuint rbs[] = {depth, red};
    glDeleteRenderbuffers(2, rbs);
    glDeleteFramebuffers(1, &fbo);
    const GLuint buffers[] = {vbo, ibo};
    glDeleteBuffers(2, buffers);
    glDeleteVertexArrays(1, &vao);
    if (program) glDeleteProgram(program);
  }
};

DepthFrameRenderer::DepthFrameRenderer() = default;
DepthFrameRenderer::~DepthFrameRenderer() = default;

bool DepthFrameRenderer::init(std::string& err) {
  if (!TavoGLFWWindow::get_instance(m_width, m_height, err, 4, 3, false) ||
      !TavoGLFWWindow::make_current_context(err))
    return false;
  if (!TavoGLFWWindow::init_glew(err)) {
    TAVO_LOG_ERROR("Failed to initialize GLEW");
    return false;
  }
  m_camera.set_viewport(m_width, m_height);
  m_gl = std::make_unique<GLObjects>();
  GLObjects& g = *m_gl;
  glGenFramebuffers(1, &g.fbo);
  glBindFramebuffer(GL_FRAMEBUFFER, g.fbo);
  glGenRenderbuffers(1, &g.depth);
  glBindRenderbuffer(GL_RENDERBUFFER, g.depth);
  glRenderbufferStorage(GL_RENDERBUFFER, GL_DEPTH_COMPONENT, m_width, m_height);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_RENDERBUFFER, g.depth);
  glGenRenderbuffers(1, &g.red);
  glBindRenderbuffer(GL_RENDERBUFFER, g.red);
  glRenderbufferStorage(GL_RENDERBUFFER, GL_R8, m_width, m_height);
  glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, g.red);
  const bool complete = glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glBindRenderbuffer(GL_RENDERBUFFER, 0);
  if (!complete) {
    err = "incomplete framebuffer";
    m_gl.reset();
    return false;
  }
  if (!g.image.attach(g.fbo, g.red, m_width, m_height, 1, err)) {
    m_gl.reset();
    return false;
  }
  make_mesh_buffers(g.vao, g.vbo, g.ibo);
  return true;
}

bool DepthFrameRenderer::build_program() {
  std::string err;
  if (!m_gl || !TavoGLFWWindow::make_current_context(err)) return false;
  if (m_gl->program) glDeleteProgram(m_gl->program);
  m_gl->program = build_gl_program(glsl_source(shaders::kFrameVertex), glsl_source(shaders::kFrameFragment));
  return m_gl->program != 0;
}

int DepthFrameRenderer::render_frame(const BaseTriMesh& mesh, const Eigen::Vector3f& eye,
                                     const Eigen::Vector3f& center, const Eigen::Vector3f& up) {
  std::string err;
  if (!m_gl || !m_gl->program || !mesh.faces_valid() || !TavoGLFWWindow::make_current_context(err)) return 0;
  GLObjects& g = *m_gl;
  m_camera.set_eye(eye);
  m_camera.set_center(center);
  m_camera.set_up(up);
  m_camera.update();
  const std::array<float, 16> mvp = m_camera.mvp();

  const auto& coords = mesh.get_vCoords();
  const auto& faces = mesh.get_faces();
  glBindBuffer(GL_ARRAY_BUFFER, g.vbo);
  glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(coords.size() * sizeof(Eigen::Vector3f)), coords.data(),
               GL_DYNAMIC_DRAW);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindVertexArray(g.vao);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(faces.size() * sizeof(BaseTriFace)), faces.data(),
               GL_DYNAMIC_DRAW);

  glBindFramebuffer(GL_FRAMEBUFFER, g.fbo);
  glViewport(0, 0, m_width, m_height);
  glUseProgram(g.program);
  glUniformMatrix4fv(glGetUniformLocation(g.program, "mvp"), 1, GL_FALSE, mvp.data());
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LESS);
  glClearColor(0.f, 0.f, 0.f, 1.f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(3 * faces.size()), GL_UNSIGNED_INT, nullptr);
  glDisable(GL_DEPTH_TEST);
  glBindVertexArray(0);

  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  DeviceBuffer<std::uint8_t> image(g.image.bytes());
  if (image.empty() || !g.image.copy_to(image.data())) {
    TAVO_CHECK_GPU();
    return 0;
  }
  DeviceBuffer<float> matrix(mvp.size());
  matrix.upload(mvp.data(), mvp.size());
  if (!TAVO_CHECK_GPU() || matrix.empty()) return 0;
  m_images.push_back(std::move(image));
  m_matrices.push_back(std::move(matrix));
  return 1;
}

void DepthFrameRenderer::release_frames() {
  m_images.clear();
  m_matrices.clear();
}

}  // namespace TavoAlgorithm

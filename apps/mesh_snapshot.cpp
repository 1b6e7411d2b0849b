#include "mesh_snapshot.h"

#include <GL/glew.h>

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "AutoScan/emulateBinocular/GLCamera.h"
#include "AutoScan/emulateBinocular/gl_program.h"
#include "geometry/BoundingBox.h"
#include "geometry/PngWriter.h"
#include "geometry/TavoGLFWWindow.h"

namespace TavoAlgorithm::apps {

namespace {

constexpr int kMaxSide = 8192;
constexpr double kFovy = 0.6;  // radians

const std::vector<const char*> kVertex = {
    "#version 330 core",
    "layout(location = 0) in vec3 vertex;",
    "layout(location = 1) in vec3 normal;",
    "layout(location = 2) in vec3 colour;",
    "uniform mat4 mvp;",
    "uniform mat4 view;",
    "out vec3 viewNormal;",
    "out vec3 viewPosition;",
    "out vec3 baseColour;",
    "void main()",
    "{",
    "    gl_Position = mvp * vec4(vertex, 1.0);",
    "    viewNormal = mat3(view) * normal;",
    "    viewPosition = (view * vec4(vertex, 1.0)).xyz;",
    "    baseColour = colour;",
    "}"};
// Two-sided Lambert from a light at the eye, so back faces seen through
// holes read as surface too.
const std::vector<const char*> kFragment = {
    "#version 330 core",
    "in vec3 viewNormal;",
    "in vec3 viewPosition;",
    "in vec3 baseColour;",
    "out vec4 fColor;",
    "void main()",
    "{",
    "    vec3 n = normalize(viewNormal);",
    "    vec3 toEye = normalize(-viewPosition);",
    "    float lit = 0.2 + 0.8 * abs(dot(n, toEye));",
    "    fColor = vec4(baseColour * lit, 1.0);",
    "}"};

// Everything made in the context, released on every path out.
struct GlObjects {
  GLuint program = 0, vao = 0, vbo = 0, ibo = 0, fbo = 0, depth = 0, colour = 0;
  ~GlObjects() {
    if (ibo) glDeleteBuffers(1, &ibo);
    if (vbo) glDeleteBuffers(1, &vbo);
    if (vao) glDeleteVertexArrays(1, &vao);
    if (depth) glDeleteRenderbuffers(1, &depth);
    if (colour) glDeleteRenderbuffers(1, &colour);
    if (fbo) glDeleteFramebuffers(1, &fbo);
    if (program) glDeleteProgram(program);
  }
};

}  // namespace

bool render_mesh_picture(const BaseTriMesh& mesh, const std::vector<Color3b>* colours, int width, int height,
                         Image<3, std::uint8_t>& picture, std::string& error) {
  if (mesh.get_fn() == 0 || !mesh.faces_valid()) {
    error = "snapshot: the mesh has no faces, or a face names no vertex";
    return false;
  }
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
    error = "snapshot: picture size " + std::to_string(width) + " x " + std::to_string(height) + " is not 1 to " +
            std::to_string(kMaxSide) + " pixels a side";
    return false;
  }
  if (colours && static_cast<int>(colours->size()) != mesh.get_vn()) {
    error = "snapshot: colours do not match the vertices";
    return false;
  }

  // Interleaved position, normal, colour (0..1) per vertex.
  BaseTriMesh shaded = mesh;
  if (!shaded.has_vNormal()) shaded.update_VNrv();
  std::vector<float> vertices(static_cast<std::size_t>(mesh.get_vn()) * 9);
  Eigen::AlignedBox3f box;
  for (int i = 0; i < mesh.get_vn(); ++i) {
    float* v = vertices.data() + static_cast<std::size_t>(i) * 9;
    const Eigen::Vector3f& p = mesh.get_vCoord(i);
    if (p.allFinite()) box.extend(p);
    const Eigen::Vector3f c =
        colours ? Eigen::Vector3f((*colours)[i].cast<float>() / 255.f) : Eigen::Vector3f(0.72f, 0.72f, 0.70f);
    for (int k = 0; k < 3; ++k) {
      v[k] = p[k];
      v[3 + k] = shaded.get_vNrv(i)[k];
      v[6 + k] = c[k];
    }
  }
  if (box.isEmpty()) {
    error = "snapshot: the mesh has no finite vertex";
    return false;
  }

  if (!TavoGLFWWindow::get_instance(width, height, error, 3, 3, false) ||
      !TavoGLFWWindow::make_current_context(error) || !TavoGLFWWindow::init_glew(error)) {
    error = "snapshot: no OpenGL context: " + error;
    return false;
  }
  GlObjects gl;
  gl.program = build_gl_program(glsl_source(kVertex), glsl_source(kFragment));
  if (gl.program == 0) {
    error = "snapshot: the shaders do not build";
    return false;
  }
  if (!make_render_target(gl.fbo, gl.depth, gl.colour, GL_RGBA8, width, height)) {
    error = "snapshot: no render target of " + std::to_string(width) + " x " + std::to_string(height);
    return false;
  }
  glGenVertexArrays(1, &gl.vao);
  glBindVertexArray(gl.vao);
  glGenBuffers(1, &gl.vbo);
  glBindBuffer(GL_ARRAY_BUFFER, gl.vbo);
  glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(vertices.size() * sizeof(float)), vertices.data(),
               GL_STATIC_DRAW);
  for (GLuint a = 0; a < 3; ++a) {
    glVertexAttribPointer(a, 3, GL_FLOAT, GL_FALSE, 9 * sizeof(float),
                          reinterpret_cast<const void*>(static_cast<std::size_t>(a) * 3 * sizeof(float)));
    glEnableVertexAttribArray(a);
  }
  glGenBuffers(1, &gl.ibo);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, gl.ibo);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(mesh.get_faces().size() * sizeof(BaseTriFace)),
               mesh.get_faces().data(), GL_STATIC_DRAW);

  // Fitted so that the bounding sphere fills the narrower side.
  const Eigen::Vector3f centre = box.center();
  const float radius = std::max(0.5f * box.diagonal().norm(), 1e-6f);
  const double aspect = static_cast<double>(width) / height;
  const double halfFov = 0.5 * kFovy * std::min(1.0, aspect);
  const float distance = radius / static_cast<float>(std::sin(halfFov)) * 1.05f;
  GLCamera camera;
  camera.set_center(centre);
  camera.set_eye(centre + distance * Eigen::Vector3f(0.35f, 0.3f, 1.f).normalized());
  camera.set_up(Eigen::Vector3f::UnitY());
  camera.set_near_fovy_far(std::max(1e-6, static_cast<double>(distance - 1.5f * radius)), kFovy,
                           distance + 1.5f * radius);
  glBindFramebuffer(GL_FRAMEBUFFER, gl.fbo);
  camera.set_viewport(width, height);
  camera.update();

  glEnable(GL_DEPTH_TEST);
  glDisable(GL_CULL_FACE);
  glClearColor(1.f, 1.f, 1.f, 1.f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glUseProgram(gl.program);
  glUniformMatrix4fv(glGetUniformLocation(gl.program, "mvp"), 1, GL_FALSE, camera.mvp().data());
  glUniformMatrix4fv(glGetUniformLocation(gl.program, "view"), 1, GL_FALSE, camera.view().data());
  glDrawElements(GL_TRIANGLES, 3 * mesh.get_fn(), GL_UNSIGNED_INT, nullptr);

  std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  glBindVertexArray(0);
  glUseProgram(0);
  if (const GLenum e = glGetError(); e != GL_NO_ERROR) {
    error = "snapshot: OpenGL error " + std::to_string(e);
    return false;
  }
  // OpenGL's rows run bottom-up.
  picture = Image<3, std::uint8_t>(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c)
        picture.at(x, y, c) = rgba[(static_cast<std::size_t>(height - 1 - y) * width + x) * 4 + c];
  return true;
}

bool write_mesh_snapshot(const std::string& path, const BaseTriMesh& mesh, const std::vector<Color3b>* colours,
                         int width, int height, std::string& error) {
  Image<3, std::uint8_t> picture;
  if (!render_mesh_picture(mesh, colours, width, height, picture, error)) return false;
  if (!write_png(path, picture, error)) {
    error = "snapshot: " + error;
    return false;
  }
  return true;
}

}  // namespace TavoAlgorithm::apps

#include "AutoScan/QuellanEmulatBinocular/QuellanEmulatBinocular.h"

#include <cmath>
#include <algorithm>
#include <filesystem>

#include "AutoScan/QuellanEmulatBinocular/PlaneScanGeometry.h"
#include "AutoScan/QuellanEmulatBinocular/quellan_shaders.h"
#include "AutoScan/emulateBinocular/gl_program.h"
#include "common/console.h"
#include "common/gpu/TavoGPUAlgorithm.h"
#include "geometry/Image.h"
#include "geometry/PngWriter.h"
#include "geometry/TavoGLFWWindow.h"
#include "geometry/TriMesh.h"

namespace TavoAlgorithm {

using namespace TavoGPUAlgorithm;

namespace {

constexpr int kImageWidth = 1280;
constexpr int kImageHeight = 960;
constexpr std::uint8_t kDumpMarked = 255;

}  // namespace

struct QuellanEmulatBinocular::GLObjects {
  GLuint maskFbo = 0, maskDepth = 0, maskRed = 0;
  GLuint idFbo = 0, idDepth = 0, idRgba = 0;
  GLuint vao = 0, vbo = 0, ibo = 0;
  GLuint maskBuffer = 0, maskTexture = 0;
  GLuint maskProgram = 0, idProgram = 0;
  GLsizei indexCount = 0;
  GLint maxMaskWords = 0;

  ~GLObjects() {
    std::string err;
    if (!TavoGLFWWindow::alive() || !TavoGLFWWindow::make_current_context(err)) return;
    const GLuint fbos[] = {maskFbo, idFbo};
    glDeleteFramebuffers(2, fbos);
    const GLuint rbs[] = {maskDepth, maskRed, idDepth, idRgba};
    glDeleteRenderbuffers(4, rbs);
    const GLuint buffers[] = {vbo, ibo, maskBuffer};
    glDeleteBuffers(3, buffers);
    glDeleteTextures(1, &maskTexture);
    glDeleteVertexArrays(1, &vao);
    for (GLuint p : {maskProgram, idProgram})
      if (p) glDeleteProgram(p);
  }
};

QuellanEmulatBinocular::QuellanEmulatBinocular() {
  m_width = kImageWidth;
  m_height = kImageHeight;
  m_camera.set_near_fovy_far(plane_scan::kNear, 2.0 * std::atan(plane_scan::kHalfFovTan), plane_scan::kFar);
  if (!TavoGLFWWindow::get_instance(m_width, m_height, m_error, 4, 3, false) || !make_current()) return;
  if (!TavoGLFWWindow::init_glew(m_error)) {
    m_error = "Failed to initialize GLEW";
    return;
  }
  m_gl = std::make_unique<GLObjects>();
  GLObjects& g = *m_gl;
  if (!make_render_target(g.maskFbo, g.maskDepth, g.maskRed, GL_R8, m_width, m_height) ||
      !make_render_target(g.idFbo, g.idDepth, g.idRgba, GL_RGBA8, m_width, m_height)) {
    m_error = "incomplete framebuffer";
    return;
  }
  make_mesh_buffers(g.vao, g.vbo, g.ibo);
  glGenBuffers(1, &g.maskBuffer);
  glGenTextures(1, &g.maskTexture);
  glBindBuffer(GL_TEXTURE_BUFFER, g.maskBuffer);
  glBufferData(GL_TEXTURE_BUFFER, sizeof(std::int32_t), nullptr, GL_DYNAMIC_DRAW);
  glBindTexture(GL_TEXTURE_BUFFER, g.maskTexture);
  glTexBuffer(GL_TEXTURE_BUFFER, GL_R32I, g.maskBuffer);
  glBindTexture(GL_TEXTURE_BUFFER, 0);
  glBindBuffer(GL_TEXTURE_BUFFER, 0);
  glGetIntegerv(GL_MAX_TEXTURE_BUFFER_SIZE, &g.maxMaskWords);
  m_camera.set_viewport(m_width, m_height);

  g.maskProgram = build_gl_program(glsl_source(quellan_shaders::kVertex), glsl_source(quellan_shaders::kMaskFragment));
  g.idProgram = build_gl_program(glsl_source(quellan_shaders::kVertex), glsl_source(quellan_shaders::kIdFragment));
  if (!g.maskProgram || !g.idProgram) {
    m_error = "failed to build the shader programs";
    return;
  }

  const std::size_t pixels = static_cast<std::size_t>(m_width) * m_height;
  m_hostMask.assign(pixels, 0);
  m_devMask.allocate(pixels);
  m_devIds.allocate(4 * pixels);
  m_devCounter.allocate(1);
  const std::string e = take_last_error();
  if (!e.empty() || m_devMask.empty() || m_devIds.empty() || m_devCounter.empty()) {
    m_error = "Error: " + (e.empty() ? std::string("out of memory") : e);
    return;
  }
  m_ready = true;
}

QuellanEmulatBinocular::~QuellanEmulatBinocular() = default;

bool QuellanEmulatBinocular::make_current() { return TavoGLFWWindow::make_current_context(m_error); }

void QuellanEmulatBinocular::set_candidates(std::vector<float> eyes, std::vector<float> ups,
                                            const Eigen::Vector3f& center) {
  const std::size_t n = std::min(eyes.size(), ups.size()) / 3 * 3;
  eyes.resize(n);
  ups.resize(n);
  m_eyes = std::move(eyes);
  m_ups = std::move(ups);
  m_center = center;
}

void QuellanEmulatBinocular::set_box_mesh(BaseTriMesh box) {
  m_box = std::move(box);
  dump_box();
}

bool QuellanEmulatBinocular::set_model(const BaseTriMesh& mesh) {
  if (!m_ready || !mesh.faces_valid()) return false;
  const long long words = mask_words(mesh.get_fn());
  if (words > m_gl->maxMaskWords) {
    TAVO_LOG_ERROR("model has more faces than the face mask holds: " + std::to_string(mesh.get_fn()));
    return false;
  }
  if (!make_current()) return false;
  const auto& coords = mesh.get_vCoords();
  const auto& faces = mesh.get_faces();
  static_assert(sizeof(Eigen::Vector3f) == 3 * sizeof(float), "packed vertex positions");
  GLObjects& g = *m_gl;
  glBindBuffer(GL_ARRAY_BUFFER, g.vbo);
  glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(coords.size() * sizeof(Eigen::Vector3f)), coords.data(),
               GL_STATIC_DRAW);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindVertexArray(g.vao);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, g.ibo);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(faces.size() * sizeof(BaseTriFace)), faces.data(),
               GL_STATIC_DRAW);
  glBindVertexArray(0);
  g.indexCount = static_cast<GLsizei>(3 * faces.size());
  m_faceCount = mesh.get_fn();
  set_face_flags(std::vector<bool>(static_cast<std::size_t>(m_faceCount), true));
  return true;
}

void QuellanEmulatBinocular::set_face_flags(const std::vector<bool>& unscanned) {
  if (!m_ready || !make_current()) return;
  std::vector<std::int32_t> words(static_cast<std::size_t>(mask_words(m_faceCount)), 0);
  const int n = std::min(m_faceCount, static_cast<int>(unscanned.size()));
  for (int f = 0; f < n; ++f)
    if (unscanned[f]) words[f / 32] |= mask_bit_value(f);
  glBindBuffer(GL_TEXTURE_BUFFER, m_gl->maskBuffer);
  glBufferData(GL_TEXTURE_BUFFER, static_cast<GLsizeiptr>(words.size() * sizeof(std::int32_t)), words.data(),
               GL_DYNAMIC_DRAW);
  glBindBuffer(GL_TEXTURE_BUFFER, 0);
  ++m_maskUploads;
}

bool QuellanEmulatBinocular::render(GLuint fbo, GLuint program, const Eigen::Vector3f& eye,
                                    const Eigen::Vector3f& center, const Eigen::Vector3f& up) {
  const Eigen::Vector3f f = center - eye;
  if (!eye.allFinite() || !center.allFinite() || !up.allFinite() || !(f.cross(up).squaredNorm() > 0.f))
    return false;
  m_camera.set_eye(eye);
  m_camera.set_center(center);
  m_camera.set_up(up);
  m_camera.update();
  m_lastMvp = m_camera.mvp();

  const GLObjects& g = *m_gl;
  glViewport(0, 0, m_width, m_height);
  glBindFramebuffer(GL_FRAMEBUFFER, fbo);
  glUseProgram(program);
  glUniformMatrix4fv(glGetUniformLocation(program, "mvp"), 1, GL_FALSE, m_lastMvp.data());
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_BUFFER, g.maskTexture);
  glUniform1i(glGetUniformLocation(program, "holesFaceMap"), 0);
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LESS);
  // Cleared to zero in every channel, what the shaders write for a face
  // they do not select: an empty pixel then reads as no face in both images.
  glClearColor(0.f, 0.f, 0.f, 0.f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glBindVertexArray(g.vao);
  glDrawElements(GL_TRIANGLES, g.indexCount, GL_UNSIGNED_INT, nullptr);
  glBindVertexArray(0);
  glDisable(GL_DEPTH_TEST);
  glBindTexture(GL_TEXTURE_BUFFER, 0);
  const GLenum e = glGetError();
  if (e != GL_NO_ERROR) console::message("OpenGL error, error code:  " + std::to_string(e));
  return true;
}

int QuellanEmulatBinocular::count_mask() {
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, m_gl->maskFbo);
  glReadPixels(0, 0, m_width, m_height, GL_RED, GL_UNSIGNED_BYTE, m_hostMask.data());
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  m_devMask.upload(m_hostMask.data(), m_hostMask.size());
  m_devCounter.zero();
  get_color_pixel_num_cuda(m_devMask.data(), Dim2i{m_width, m_height}, m_devCounter.data());
  int n = 0;
  m_devCounter.download(&n, 1);
  return TAVO_CHECK_GPU() ? n : -1;
}

int QuellanEmulatBinocular::count_marked_pixels(const Eigen::Vector3f& eye, const Eigen::Vector3f& center,
                                                const Eigen::Vector3f& up) {
  if (!m_ready || !make_current()) return -1;
  if (!render(m_gl->maskFbo, m_gl->maskProgram, eye, center, up)) return 0;
  return count_mask();
}

int QuellanEmulatBinocular::find_plane(Eigen::Vector3f& eye, Eigen::Vector3f& center, Eigen::Vector3f& up) {
  m_lastCounts.assign(static_cast<std::size_t>(candidate_count()), 0);
  if (!m_ready || !make_current()) return -1;
  int bestCount = 0, bestIdx = -1;
  for (int i = 0; i < candidate_count(); ++i) {
    const int n = count_marked_pixels(candidate_eye(i), m_center, candidate_up(i));
    if (n < 0) break;  // GPU error, already reported
    m_lastCounts[i] = n;
    if (n >= kMinMarkedPixels && n > bestCount) {
      bestCount = n;
      bestIdx = i;
    }
  }
  console::message("max num:  " + std::to_string(bestCount));
  console::message("best idx: " + std::to_string(bestIdx));
  if (bestIdx < 0) return -1;
  eye = candidate_eye(bestIdx);
  center = m_center;
  up = candidate_up(bestIdx);
  return bestIdx;
}

int QuellanEmulatBinocular::find_path(int k, Eigen::Vector3f& eye, Eigen::Vector3f& center) {
  m_lastCounts.assign(plane_scan::kGridEntries, -1);
  if (k < 0 || k >= candidate_count() || !m_ready || !make_current()) return -1;
  const Eigen::Vector3f startEye = candidate_eye(k), up = candidate_up(k);
  ++m_findPathCalls;
  if (!m_debugFolder.empty() && render(m_gl->maskFbo, m_gl->maskProgram, startEye, m_center, up) &&
      count_mask() >= 0)
    dump_mask("find_path_" + std::to_string(m_findPathCalls) + ".png");

  const std::vector<plane_scan::GridEntry> grid = plane_scan::view_grid(startEye, m_center, up, m_box);
  int bestCount = 0, bestIdx = -1;
  for (int i = 0; i < static_cast<int>(grid.size()); ++i) {
    if (!grid[i].valid) continue;
    const int n = count_marked_pixels(grid[i].eye, grid[i].center, up);
    if (n < 0) break;
    m_lastCounts[i] = n;
    if (n > bestCount) {
      bestCount = n;
      bestIdx = i;
    }
  }
  console::message("scan maxNum:  " + std::to_string(bestCount));
  console::message("scan bestIdx: " + std::to_string(bestIdx));
  if (bestIdx < 0 || bestCount < kMinMarkedPixels) return -1;
  eye = grid[bestIdx].eye;
  center = grid[bestIdx].center;
  return bestIdx;
}

bool QuellanEmulatBinocular::scan(const Eigen::Vector3f& eye, const Eigen::Vector3f& center,
                                  const Eigen::Vector3f& up, std::vector<int>& faces) {
  if (!m_ready || !make_current() || !render(m_gl->idFbo, m_gl->idProgram, eye, center, up)) return false;
  m_hostIds.resize(4 * static_cast<std::size_t>(m_width) * m_height);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, m_gl->idFbo);
  glReadPixels(0, 0, m_width, m_height, GL_RGBA, GL_UNSIGNED_BYTE, m_hostIds.data());
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  m_devIds.upload(m_hostIds.data(), m_hostIds.size());
  DeviceBuffer<char> flags(static_cast<std::size_t>(m_faceCount));
  flags.zero();
  if (m_faceCount > 0)
    get_scan_fids_cuda(m_devIds.data(), Dim2i{m_width, m_height}, flags.data(), m_faceCount);
  std::vector<char> host(static_cast<std::size_t>(m_faceCount), 0);
  flags.download(host.data(), host.size());
  if (!TAVO_CHECK_GPU() || (m_faceCount > 0 && flags.empty())) return false;
  for (int f = 0; f < m_faceCount; ++f)
    if (host[f]) faces.push_back(f);
  console::message("scan end");
  return true;
}

std::string QuellanEmulatBinocular::debug_path(const std::string& name) const {
  std::error_code ec;
  std::filesystem::create_directories(m_debugFolder, ec);
  return (std::filesystem::path(m_debugFolder) / name).string();
}

void QuellanEmulatBinocular::dump_box() const {
  if (m_debugFolder.empty() || m_box.get_fn() == 0) return;
  TriMesh tri;
  BaseTriMesh_convert_to_TriMesh(m_box, tri);
  write_stl_mesh(tri, debug_path("working_box.stl"));
}

void QuellanEmulatBinocular::dump_mask(const std::string& name) const {
  // OpenGL reads rows bottom-up; the picture shows them top-down.
  Image<1, std::uint8_t> image(m_width, m_height);
  for (int y = 0; y < m_height; ++y)
    for (int x = 0; x < m_width; ++x)
      image.at(x, y) = m_hostMask[static_cast<std::size_t>(m_height - 1 - y) * m_width + x] ? kDumpMarked : 0;
  std::string err;
  if (!write_png(debug_path(name), image, err)) console::message(err);
}

}  // namespace TavoAlgorithm

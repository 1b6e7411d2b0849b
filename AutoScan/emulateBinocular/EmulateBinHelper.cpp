#include "AutoScan/emulateBinocular/EmulateBinHelper.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "AutoScan/emulateBinocular/GLBufferView.h"
#include "AutoScan/emulateBinocular/HoleAreaBound.h"
#include "AutoScan/emulateBinocular/RenderbufferImage.h"
#include "AutoScan/emulateBinocular/emulate_shaders.h"
#include "AutoScan/emulateBinocular/gl_program.h"
#include "common/console.h"
#include "common/gpu/TavoGPUAlgorithm.h"
#include "geometry/TavoGLFWWindow.h"

namespace TavoAlgorithm {

using namespace TavoGPUAlgorithm;

namespace {

constexpr int kImageWidth = 1280;
constexpr int kImageHeight = 960;
constexpr int kFloatsPerCandidate = 9;
// A candidate is re-scored in the first pass only while its old bound may
// still come within this share of the best fresh bound.
constexpr float kLazyBoundShare = 0.8f;
// Value boxes grow by this many voxels on every side before they open blocks.
constexpr double kValueBoxMarginVoxels = 2.0;
// The base is cut this far below the lowest value box.
constexpr float kBaseBelowBox = 2.0f;
constexpr float kMeshBoxShift = 1.0f;
// Errors that earlier calls left are cleared before an upload or a view, so
// that only their own count; OpenGL keeps at most one per kind.
constexpr int kMaxStaleGlErrors = 16;

std::string gpu_error_text(const std::string& e, const char* file, int line) {
  std::ostringstream s;
  s << "Error: " << e << "\t" << file << ":" << line;
  return s.str();
}

// Camera k of lists of three floats per camera.
EmulateBinHelper::GLView listed_camera(const std::vector<float>& eyes, const std::vector<float>& centers,
                                       const std::vector<float>& ups, int k) {
  auto at = [k](const std::vector<float>& v) { return Eigen::Vector3f(v[3 * k], v[3 * k + 1], v[3 * k + 2]); };
  return {at(eyes), at(centers), at(ups)};
}

void drop_gl_errors() {
  for (int i = 0; i < kMaxStaleGlErrors && glGetError() != GL_NO_ERROR; ++i) {
  }
}

}  // namespace

// The three images of one scored pair at one size: the right camera's depth
// map, the left camera's weight mask and its face ids.
struct EmulateBinHelper::ImageTargets {
  int width = 0, height = 0;
  GLuint depthMap = 0, depthFbo = 0;
  GLuint maskFbo = 0, maskDepth = 0, maskRed = 0;
  GLuint idFbo = 0, idDepth = 0, idRgba = 0;
  // The face-id and weight-mask renderbuffers as the kernels read them.
  RenderbufferImage faceIds, weights;

  // Needs the context current; false (reason in err) for an incomplete
  // framebuffer. Whatever was made is left for delete_objects.
  bool create(int w, int h, std::string& err) {
    width = w;
    height = h;
    glGenTextures(1, &depthMap);
    glBindTexture(GL_TEXTURE_2D, depthMap);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_DEPTH_COMPONENT32F, w, h, 0, GL_DEPTH_COMPONENT, GL_FLOAT, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    glBindTexture(GL_TEXTURE_2D, 0);
    glGenFramebuffers(1, &depthFbo);
    glBindFramebuffer(GL_FRAMEBUFFER, depthFbo);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_DEPTH_ATTACHMENT, GL_TEXTURE_2D, depthMap, 0);
    glDrawBuffer(GL_NONE);
    glReadBuffer(GL_NONE);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
    if (!make_render_target(maskFbo, maskDepth, maskRed, GL_R8, w, h) ||
        !make_render_target(idFbo, idDepth, idRgba, GL_RGBA8, w, h)) {
      err = "incomplete framebuffer";
      return false;
    }
    return faceIds.attach(idFbo, idRgba, w, h, 4, err) && weights.attach(maskFbo, maskRed, w, h, 1, err);
  }
  // Before the renderbuffers go.
  void detach() {
    faceIds.detach();
    weights.detach();
  }
  void delete_objects() {
    glDeleteTextures(1, &depthMap);
    const GLuint fbos[] = {depthFbo, maskFbo, idFbo};
    glDeleteFramebuffers(3, fbos);
    const GLuint rbs[] = {maskDepth, maskRed, idDepth, idRgba};
    glDeleteRenderbuffers(4, rbs);
    depthMap = depthFbo = maskFbo = maskDepth = maskRed = idFbo = idDepth = idRgba = 0;
    width = height = 0;
  }
};

struct EmulateBinHelper::GLObjects {
  // Full-size images, and the coarse ones of the bound pass (made on first use).
  ImageTargets full, coarse;
  GLuint vao = 0, vbo = 0, ibo = 0, ssbo = 0;
  // The hole faces alone: their indices, and the mesh face of each.
  GLuint holeVao = 0, holeIbo = 0, holeIdSsbo = 0;
  GLuint depthProgram = 0, idProgram = 0, maskProgram = 0, holeIdProgram = 0;
  GLsizei indexCount = 0, holeIndexCount = 0;
  // The drawn mesh's vertex and index buffers as the kernels read them.
  GLBufferView vertices, faces;

  ~GLObjects() {
    full.detach();  // before the renderbuffers and buffers go
    coarse.detach();
    vertices.detach();
    faces.detach();
    std::string err;
    if (!TavoGLFWWindow::alive() || !TavoGLFWWindow::make_current_context(err)) return;
    full.delete_objects();
    coarse.delete_objects();
    const GLuint buffers[] = {vbo, ibo, ssbo, holeIbo, holeIdSsbo};
    glDeleteBuffers(5, buffers);
    glDeleteVertexArrays(1, &vao);
    glDeleteVertexArrays(1, &holeVao);
    for (GLuint p : {depthProgram, idProgram, maskProgram, holeIdProgram})
      if (p) glDeleteProgram(p);
  }
};

EmulateBinHelper::EmulateBinHelper(double voxelEdge)
    : m_boxMin(Eigen::Vector3f::Constant(std::numeric_limits<float>::max())),
      m_boxMax(Eigen::Vector3f::Constant(-std::numeric_limits<float>::max())),
      m_voxelEdge(voxelEdge) {}

EmulateBinHelper::~EmulateBinHelper() = default;

bool EmulateBinHelper::init_opengl(std::string& err) {
  // Ready only once every step below has succeeded.
  m_openglReady = false;
  m_gl.reset();
  m_width = kImageWidth;
  m_height = kImageHeight;
  if (!TavoGLFWWindow::get_instance(m_width, m_height, err, 4, 3, false) ||
      !TavoGLFWWindow::make_current_context(err))
    return false;
  if (!TavoGLFWWindow::init_glew(err)) {
    err = "Failed to initialize GLEW";
    return false;
  }
  m_gl = std::make_unique<GLObjects>();
  GLObjects& g = *m_gl;

  if (!g.full.create(m_width, m_height, err)) {
    m_gl.reset();
    return false;
  }

  // The kernels read the images in back-end memory.
  const std::size_t pixels = static_cast<std::size_t>(m_width) * m_height;
  m_devFaceIds.allocate(pixels * 4);
  m_devWeights.allocate(pixels);
  const std::string e = take_last_error();
  if (!e.empty() || m_devFaceIds.empty() || m_devWeights.empty()) {
    err = gpu_error_text(e.empty() ? "out of memory" : e, __FILE__, __LINE__);
    m_gl.reset();
    return false;
  }

  make_mesh_buffers(g.vao, g.vbo, g.ibo);
  glGenBuffers(1, &g.ssbo);
  glGenVertexArrays(1, &g.holeVao);
  m_camera.set_viewport(m_width, m_height);

  if (!TavoGLFWWindow::make_current_context(err)) {
    m_gl.reset();
    return false;
  }
  g.depthProgram = build_gl_program(glsl_source(shaders::kDepthVertex), glsl_source(shaders::kDepthFragment));
  g.idProgram = build_gl_program(glsl_source(shaders::kIdVertex), glsl_source(shaders::kIdFragment));
  g.maskProgram = build_gl_program(glsl_source(shaders::kMaskVertex), glsl_source(shaders::kMaskFragment));
  g.holeIdProgram = build_gl_program(glsl_source(shaders::kIdVertex), glsl_source(shaders::kHoleIdFragment));
  if (!g.depthProgram || !g.idProgram || !g.maskProgram || !g.holeIdProgram) {
    err = "failed to build the shader programs";
    m_gl.reset();
    return false;
  }
  m_openglReady = true;
  return true;
}

void EmulateBinHelper::set_hole_params(int minShellSize, int maxHoleSize) {
  m_minShellSize = minShellSize;
  m_maxHoleSize = maxHoleSize;
}

bool EmulateBinHelper::set_scan_poses(std::vector<float> eyes, std::vector<float> centers,
                                      std::vector<float> ups, std::vector<float> fovys, std::string& err) {
  if (eyes.size() != centers.size() || eyes.size() != ups.size() || eyes.size() % kFloatsPerCandidate != 0 ||
      fovys.size() < 2) {
    err = "scan poses need 9 floats per candidate in each list and two fields of view";
    return false;
  }
  m_eyes = std::move(eyes);
  m_centers = std::move(centers);
  m_ups = std::move(ups);
  m_fovys = std::move(fovys);
  const std::string e = take_last_error();
  if (!e.empty()) {
    err = gpu_error_text(e, __FILE__, __LINE__);
    return false;
  }
  const int n = static_cast<int>(m_eyes.size()) / kFloatsPerCandidate;
  m_used.assign(n, false);
  m_weights.resize(n, 1.0f);
  m_ranking.clear();
  for (int i = 0; i < n; ++i) m_ranking.emplace_back(i, kUnevaluated);
  return true;
}

void EmulateBinHelper::set_pose_weights(std::vector<float> weights) {
  weights.resize(m_used.size(), 1.0f);
  m_weights = std::move(weights);
}

RetVal EmulateBinHelper::set_scoring_mesh(const BaseTriMesh& mesh, std::vector<int> holeFaceMask) {
  if (!m_openglReady) return RETVAL_NOT_READY;
  if (!mesh.faces_valid() || static_cast<long long>(holeFaceMask.size()) * 32 < mesh.get_fn()) return RETVAL_FAILED;
  switch (upload_scoring_mesh(mesh, std::move(holeFaceMask))) {
    case HOLE_MESH_UPLOADED:
      m_mesh = std::make_unique<BaseTriMesh>(mesh);
      m_sourceMesh = nullptr;
      return RETVAL_SUCCESS;
    case HOLE_MESH_GL_ERROR:
      return RETVAL_FAILED;
    default:
      return RETVAL_NOT_READY;
  }
}

int EmulateBinHelper::upload_scoring_mesh(const BaseTriMesh& mesh, std::vector<int> holeFaceMask) {
  std::string err;
  if (!TavoGLFWWindow::make_current_context(err)) return HOLE_MESH_NO_CONTEXT;
  if (!m_gl || !m_gl->vao) {
    TAVO_LOG_ERROR("OpenGL not init !!!!!!!!!!!!!!!");
    return HOLE_MESH_NO_OPENGL;
  }
  if (holeFaceMask.empty()) holeFaceMask.push_back(0);
  static_assert(sizeof(Eigen::Vector3f) == 3 * sizeof(float), "packed vertex positions");
  const auto& coords = mesh.get_vCoords();
  const auto& faces = mesh.get_faces();
  // Everything goes into new buffers first; the renderer switches to them
  // only once every upload has succeeded, so a failure leaves the previous
  // mesh drawn and scored as it was.
  std::vector<BaseTriFace> holeFaces;
  std::vector<int> holeFaceIds;
  for (int f = 0; f < static_cast<int>(faces.size()); ++f)
    if (static_cast<std::size_t>(f / 32) < holeFaceMask.size() && ((holeFaceMask[f / 32] >> (f % 32)) & 1)) {
      holeFaces.push_back(faces[f]);
      holeFaceIds.push_back(f);
    }
  if (holeFaceIds.empty()) holeFaceIds.push_back(0);  // a storage block may not be empty
  drop_gl_errors();
  GLuint buffers[5] = {0, 0, 0, 0, 0};
  glGenBuffers(5, buffers);
  auto stage = [](GLuint buffer, GLsizeiptr bytes, const void* data) {
    glBindBuffer(GL_COPY_WRITE_BUFFER, buffer);
    glBufferData(GL_COPY_WRITE_BUFFER, bytes, data, GL_DYNAMIC_DRAW);
  };
  stage(buffers[0], static_cast<GLsizeiptr>(coords.size() * sizeof(Eigen::Vector3f)), coords.data());
  stage(buffers[1], static_cast<GLsizeiptr>(faces.size() * sizeof(BaseTriFace)), faces.data());
  stage(buffers[2], static_cast<GLsizeiptr>(holeFaceMask.size() * sizeof(int)), holeFaceMask.data());
  stage(buffers[3], static_cast<GLsizeiptr>(holeFaces.size() * sizeof(BaseTriFace)), holeFaces.data());
  stage(buffers[4], static_cast<GLsizeiptr>(holeFaceIds.size() * sizeof(int)), holeFaceIds.data());
  glBindBuffer(GL_COPY_WRITE_BUFFER, 0);
  GLBufferView vertices, indices;
  const bool ok = glGetError() == GL_NO_ERROR &&
                  vertices.attach(buffers[0], coords.data(), coords.size() * sizeof(Eigen::Vector3f)) &&
                  indices.attach(buffers[1], faces.data(), faces.size() * sizeof(BaseTriFace));
  if (!ok) {
    vertices.detach();
    indices.detach();
    glDeleteBuffers(5, buffers);
    return HOLE_MESH_GL_ERROR;
  }

  GLObjects& g = *m_gl;
  g.vertices.detach();  // before their buffers go
  g.faces.detach();
  glBindVertexArray(g.vao);
  glBindBuffer(GL_ARRAY_BUFFER, buffers[0]);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 3 * sizeof(float), nullptr);
  glEnableVertexAttribArray(0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, buffers[1]);
  glBindVertexArray(g.holeVao);
  glBindBuffer(GL_ARRAY_BUFFER, buffers[0]);
  glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 3 * sizeof(float), nullptr);
  glEnableVertexAttribArray(0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, buffers[3]);
  glBindVertexArray(0);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  const GLuint old[5] = {g.vbo, g.ibo, g.ssbo, g.holeIbo, g.holeIdSsbo};
  glDeleteBuffers(5, old);
  g.vbo = buffers[0];
  g.ibo = buffers[1];
  g.ssbo = buffers[2];
  g.holeIbo = buffers[3];
  g.holeIdSsbo = buffers[4];
  g.indexCount = static_cast<GLsizei>(3 * faces.size());
  g.holeIndexCount = static_cast<GLsizei>(3 * holeFaces.size());
  g.vertices = std::move(vertices);
  g.faces = std::move(indices);
  m_holeFaceMask = std::move(holeFaceMask);
  m_holeFacesDrawn = std::any_of(m_holeFaceMask.begin(), m_holeFaceMask.end(), [](int w) { return w != 0; });
  return HOLE_MESH_UPLOADED;
}

void EmulateBinHelper::stop_drawing() {
  if (m_gl) m_gl->indexCount = m_gl->holeIndexCount = 0;
  m_holeFacesDrawn = false;
}

void EmulateBinHelper::set_mesh_box() {
  m_meshBoxSet = false;
  const BaseTriMesh* slot = scoring_mesh();
  BoundingBox box = slot ? slot->get_boundBox() : BoundingBox();
  m_boxMin = box.min_corner() + Eigen::Vector3f::Constant(kMeshBoxShift);
  m_boxMax = box.max_corner() + Eigen::Vector3f::Constant(kMeshBoxShift);
  // An empty box (or a bad edge) has no grid: scoring then reports the mesh box
  // as not set instead of sizing a grid from infinities.
  if (box.empty() || !(m_voxelEdge > 0.0)) {
    m_boxMin.setConstant(std::numeric_limits<float>::max());
    m_boxMax.setConstant(-std::numeric_limits<float>::max());
    return;
  }
  for (int k = 0; k < 3; ++k)
    m_dims[k] = static_cast<int>((m_boxMax[k] - m_boxMin[k]) / m_voxelEdge + 1.0);
  m_voxels.init_voxel(m_dims[0], m_dims[1], m_dims[2]);
  if (!m_voxels.initialised()) return;
  m_devDims.allocate(3);
  m_devDims.upload(m_dims, 3);
  m_devBoxMin.allocate(3);
  m_devBoxMin.upload(m_boxMin.data(), 3);
  m_meshBoxSet = TAVO_CHECK_GPU() && !m_devDims.empty() && !m_devBoxMin.empty();
}

void EmulateBinHelper::reset_bounds(bool keepUsed) {
  if (!keepUsed) {
    m_ranking.clear();
    for (int i = 0; i < static_cast<int>(m_used.size()); ++i) m_ranking.emplace_back(i, kUnevaluated);
    return;
  }
  for (auto& r : m_ranking)
    if (r.second != 0.0f) r.second = kUnevaluated;
}

void EmulateBinHelper::add_value_box(const BoundingBox& box, bool reset) {
  if (box.empty()) return;
  if (!m_meshBoxSet) {
    TAVO_LOG_ERROR("EmulateBinHelper mesh box is not init !!!!!!!!!!!!!!!!");
    return;
  }
  if (reset) {
    m_voxels.exclude_all_blocks();
    reset_bounds(false);
    m_voxels.reset_block_values();
    m_valueBoxes.assign(1, box);
  }
  const float margin = static_cast<float>(kValueBoxMarginVoxels * m_voxelEdge);
  int lo[3], hi[3];
  for (int k = 0; k < 3; ++k) {
    const float a = std::max(box.min_corner()[k] - margin, m_boxMin[k]);
    const float b = std::min(box.max_corner()[k] + margin, m_boxMax[k]);
    if (a > b) return;  // the box lies outside the grid
    lo[k] = static_cast<int>((a - m_boxMin[k]) / m_voxelEdge);
    hi[k] = static_cast<int>((b - m_boxMin[k]) / m_voxelEdge);
  }
  m_voxels.open_block_box(lo, hi);
  m_baseHeight = std::min(m_baseHeight, box.minZ - kBaseBelowBox);
}

RetVal EmulateBinHelper::set_value_boxes(const std::vector<BoundingBox>& boxes, bool keepBounds) {
  if (!m_meshBoxSet) {
    TAVO_LOG_ERROR("EmulateBinHelper mesh box is not init !!!!!!!!!!!!!!!!");
    return RETVAL_FAILED;
  }
  m_voxels.exclude_all_blocks();
  m_valueBoxes.clear();
  reset_bounds(keepBounds);
  for (const BoundingBox& b : boxes) {
    add_value_box(b, false);
    if (!b.empty()) m_valueBoxes.push_back(b);
  }
  m_voxels.reset_block_values();
  return RETVAL_SUCCESS;
}

void EmulateBinHelper::set_value_boxes_keep_grid(const std::vector<BoundingBox>& boxes) {
  m_valueBoxes.clear();
  for (const BoundingBox& b : boxes)
    if (!b.empty()) m_valueBoxes.push_back(b);
  reset_bounds(true);
}

void EmulateBinHelper::draw_mesh(bool holeFacesOnly) const {
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LESS);
  glClearColor(0.f, 0.f, 0.f, 1.f);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glBindVertexArray(holeFacesOnly ? m_gl->holeVao : m_gl->vao);
  glDrawElements(GL_TRIANGLES, holeFacesOnly ? m_gl->holeIndexCount : m_gl->indexCount, GL_UNSIGNED_INT, nullptr);
  glBindVertexArray(0);
  glDisable(GL_DEPTH_TEST);
}

float EmulateBinHelper::score_view_pair(const GLView& first, const GLView& second, bool swap, bool simple,
                                        bool coarse) {
  float score = 0.f;
  return render_and_score(first, second, swap, simple, coarse, score) ? score : kScoreFailed;
}

bool EmulateBinHelper::set_bound_image_divisor(int divisor) {
  if (divisor < 1 || kImageWidth % divisor != 0 || kImageHeight % divisor != 0) return false;
  m_boundDivisor = divisor;
  return true;
}

EmulateBinHelper::ImageTargets* EmulateBinHelper::targets(bool coarse) {
  GLObjects& g = *m_gl;
  if (!coarse || m_boundDivisor == 1) return &g.full;
  const int w = m_width / m_boundDivisor, h = m_height / m_boundDivisor;
  if (g.coarse.width != w || g.coarse.height != h) {
    g.coarse.detach();
    g.coarse.delete_objects();
    std::string err;
    if (!g.coarse.create(w, h, err)) {
      TAVO_LOG_ERROR("coarse bound images: " + err);
      g.coarse.detach();
      g.coarse.delete_objects();
      return nullptr;
    }
  }
  return &g.coarse;
}

std::array<float, 16> EmulateBinHelper::aim(const GLView& v, double fovy) {
  m_camera.set_eye(v.eye);
  m_camera.set_center(v.center);
  m_camera.set_up(v.up);
  m_camera.set_fovy(fovy);
  m_camera.update();
  return m_camera.mvp();
}

bool EmulateBinHelper::render_and_score(const GLView& first, const GLView& second, bool swap, bool simple,
                                        bool coarse, float& score) {
  std::string err;
  if (!m_openglReady || !m_mesh || m_fovys.size() < 2 || !TavoGLFWWindow::make_current_context(err)) return false;
  ImageTargets* t = targets(coarse);
  if (!t) return false;
  const GLObjects& g = *m_gl;
  const GLView& left = swap ? first : second;
  const GLView& right = swap ? second : first;
  const double leftFov = swap ? m_fovys[0] : m_fovys[1];
  const double rightFov = swap ? m_fovys[1] : m_fovys[0];
  drop_gl_errors();
  // The projection keeps the full image's aspect; a coarse image only samples it more sparsely.
  glViewport(0, 0, t->width, t->height);

  const std::array<float, 16> rightMvp = aim(right, rightFov);
  glBindFramebuffer(GL_FRAMEBUFFER, t->depthFbo);
  glUseProgram(g.depthProgram);
  glUniformMatrix4fv(glGetUniformLocation(g.depthProgram, "mvp"), 1, GL_FALSE, rightMvp.data());
  draw_mesh();

  const std::array<float, 16> leftMvp = aim(left, leftFov);
  m_lastLeftMvp = leftMvp;
  glBindFramebuffer(GL_FRAMEBUFFER, t->maskFbo);
  glUseProgram(g.maskProgram);
  glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, g.ssbo);
  glUniformMatrix4fv(glGetUniformLocation(g.maskProgram, "mvp"), 1, GL_FALSE, leftMvp.data());
  draw_mesh();

  glBindFramebuffer(GL_FRAMEBUFFER, t->idFbo);
  glUseProgram(g.idProgram);
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, t->depthMap);
  glUniform1i(glGetUniformLocation(g.idProgram, "rightDepthMap"), 0);
  glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, g.ssbo);
  glUniformMatrix4fv(glGetUniformLocation(g.idProgram, "rightMvp"), 1, GL_FALSE, rightMvp.data());
  glUniformMatrix4fv(glGetUniformLocation(g.idProgram, "mvp"), 1, GL_FALSE, leftMvp.data());
  draw_mesh();
  glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 0, 0);
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  const GLenum glError = glGetError();
  if (glError != GL_NO_ERROR) {
    TAVO_LOG_ERROR("OpenGL error, error code:  " + std::to_string(glError));
    return false;
  }
  return score_images(simple, *t, score);
}

bool EmulateBinHelper::render_hole_bound(const GLView& first, const GLView& second, float& score) {
  std::string err;
  if (!m_openglReady || !m_mesh || m_fovys.size() < 2 || !TavoGLFWWindow::make_current_context(err)) return false;
  GLObjects& g = *m_gl;
  ImageTargets& t = g.full;
  // The exact score's cameras (swap clear): left = second, right = first.
  drop_gl_errors();
  glViewport(0, 0, t.width, t.height);
  const std::array<float, 16> rightMvp = aim(first, m_fovys[0]);
  glBindFramebuffer(GL_FRAMEBUFFER, t.depthFbo);
  glUseProgram(g.depthProgram);
  glUniformMatrix4fv(glGetUniformLocation(g.depthProgram, "mvp"), 1, GL_FALSE, rightMvp.data());
  draw_mesh(true);

  const std::array<float, 16> leftMvp = aim(second, m_fovys[1]);
  m_lastLeftMvp = leftMvp;
  // Weight 1 everywhere: no pixel weighs more in the exact score.
  glBindFramebuffer(GL_FRAMEBUFFER, t.maskFbo);
  glClearColor(1.f, 0.f, 0.f, 1.f);
  glClear(GL_COLOR_BUFFER_BIT);

  glBindFramebuffer(GL_FRAMEBUFFER, t.idFbo);
  glUseProgram(g.holeIdProgram);
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, t.depthMap);
  glUniform1i(glGetUniformLocation(g.holeIdProgram, "rightDepthMap"), 0);
  glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 1, g.holeIdSsbo);
  glUniformMatrix4fv(glGetUniformLocation(g.holeIdProgram, "rightMvp"), 1, GL_FALSE, rightMvp.data());
  glUniformMatrix4fv(glGetUniformLocation(g.holeIdProgram, "mvp"), 1, GL_FALSE, leftMvp.data());
  draw_mesh(true);
  glBindBufferBase(GL_SHADER_STORAGE_BUFFER, 1, 0);
  glBindFramebuffer(GL_FRAMEBUFFER, 0);
  const GLenum glError = glGetError();
  if (glError != GL_NO_ERROR) {
    TAVO_LOG_ERROR("OpenGL error, error code:  " + std::to_string(glError));
    return false;
  }
  return score_images(true, t, score);
}

float EmulateBinHelper::hole_face_bound(const GLView& first, const GLView& second) {
  float score = 0.f;
  return render_hole_bound(first, second, score) ? score : kScoreFailed;
}

float EmulateBinHelper::hole_face_bound_of_pose(const std::vector<float>& eyes, const std::vector<float>& centers,
                                                const std::vector<float>& ups, const std::vector<float>& fovys) {
  if (eyes.size() < 6 || centers.size() < 6 || ups.size() < 6 || fovys.size() < 2) return kScoreFailed;
  auto cam = [&](int k) { return listed_camera(eyes, centers, ups, k); };
  const std::vector<float> stored = m_fovys;
  m_fovys = fovys;
  float s = 0.f;
  const bool ok = render_hole_bound(cam(0), cam(1), s);
  m_fovys = stored;
  return ok ? s : kScoreFailed;
}

bool EmulateBinHelper::score_images(bool simple, ImageTargets& t, float& score) {
  if (!m_meshBoxSet) {
    TAVO_LOG_ERROR("EmulateBinHelper mesh box is not init !!!!!!!!!!!!!!!!");
    return false;
  }
  GLObjects& g = *m_gl;
  if (!t.faceIds.copy_to(m_devFaceIds.data()) || !t.weights.copy_to(m_devWeights.data())) return false;
  DeviceBuffer<float> sum(1);
  if (sum.empty()) {
    TAVO_CHECK_GPU();
    return false;
  }
  sum.zero();
  const void* vertexBytes = nullptr;
  const void* faceBytes = nullptr;
  if (!g.vertices.map(vertexBytes) || !g.faces.map(faceBytes)) {
    g.vertices.unmap();
    return false;
  }
  const auto* vertices = static_cast<const float*>(vertexBytes);
  const auto* faces = static_cast<const int*>(faceBytes);
  const int faceCount = static_cast<int>(g.faces.bytes() / sizeof(BaseTriFace));
  const float edge = static_cast<float>(m_voxelEdge);
  if (simple)
    get_pixel_evaluates_cuda_simple(m_devFaceIds.data(), m_devWeights.data(), t.width, t.height, vertices, faces,
                                    faceCount, m_devBoxMin.data(), m_devDims.data(), m_voxels.values(),
                                    m_voxels.block_table(), m_voxels.new_block_mask(), edge, m_voxels.block_count(),
                                    sum.data());
  else
    get_pixel_evaluates_cuda(m_devFaceIds.data(), m_devWeights.data(), t.width, t.height, vertices, faces, faceCount,
                             nullptr, m_devBoxMin.data(), m_devDims.data(), nullptr, m_voxels.values(),
                             m_voxels.visit_mask(), m_voxels.block_table(), m_voxels.new_block_mask(), edge,
                             m_voxels.block_count(), sum.data());
  float result = 0.f;
  sum.download(&result, 1);  // waits for the kernel before the buffers go back to OpenGL
  g.faces.unmap();
  g.vertices.unmap();
  if (!TAVO_CHECK_GPU()) return false;
  // A coarse image's pixels each stand for divisor^2 full-size ones.
  score = result * static_cast<float>(m_width) * m_height / (static_cast<float>(t.width) * t.height);
  return true;
}

std::vector<std::uint8_t> EmulateBinHelper::last_face_ids() const {
  std::vector<std::uint8_t> host(m_devFaceIds.size());
  m_devFaceIds.download(host.data(), host.size());
  return host;
}

std::vector<std::uint8_t> EmulateBinHelper::last_weight_mask() const {
  std::vector<std::uint8_t> host(m_devWeights.size());
  m_devWeights.download(host.data(), host.size());
  return host;
}

bool EmulateBinHelper::images_on_device() const {
  return m_gl && m_gl->full.faceIds.on_device() && m_gl->full.weights.on_device();
}

EmulateBinHelper::GLView EmulateBinHelper::candidate_camera(int candidate, int camera) const {
  const std::size_t o = static_cast<std::size_t>(candidate) * kFloatsPerCandidate + 3 * camera;
  auto at = [&](const std::vector<float>& v) { return Eigen::Vector3f(v[o], v[o + 1], v[o + 2]); };
  return {at(m_eyes), at(m_centers), at(m_ups)};
}

bool EmulateBinHelper::score_candidate(int candidate, bool bound, float& score) {
  float s = 0.f;
  const GLView first = candidate_camera(candidate, 2), second = candidate_camera(candidate, 1);
  if (bound && m_holeFaceBounds ? !render_hole_bound(first, second, s)
                                : !render_and_score(first, second, bound, bound, bound, s))
    return false;
  score = m_weights[candidate] * s;
  return true;
}

float EmulateBinHelper::evaluate_pose(const std::vector<float>& eyes, const std::vector<float>& centers,
                                      const std::vector<float>& ups, const std::vector<float>& fovys,
                                      bool swap, bool coarse) {
  if (eyes.size() < 6 || centers.size() < 6 || ups.size() < 6 || fovys.size() < 2) return kScoreFailed;
  auto cam = [&](int k) { return listed_camera(eyes, centers, ups, k); };
  const std::vector<float> stored = m_fovys;
  m_fovys = fovys;
  if (m_voxels.initialised()) m_voxels.clear_visit_mask();
  float s = 0.f;
  const bool ok = render_and_score(cam(0), cam(1), swap, false, coarse, s);
  m_fovys = stored;
  return ok ? s : kScoreFailed;
}

int EmulateBinHelper::fail_selection() {
  // The planners accept the view even after a failed choice; the mask of a
  // half-finished selection must not be damped.
  if (m_voxels.initialised()) m_voxels.clear_saved_visit_mask();
  return -1;
}

std::vector<float> EmulateBinHelper::area_bounds() {
  const int n = candidate_count();
  if (!m_mesh || !m_meshBoxSet || !m_voxels.initialised() || m_fovys.empty()) return {};
  HostVoxelGrid grid;
  grid.origin = m_boxMin;
  for (int k = 0; k < 3; ++k) grid.dims[k] = m_dims[k];
  grid.edge = static_cast<float>(m_voxelEdge);
  grid.blockTable = m_voxels.download_block_table();
  grid.values = m_voxels.download_values();
  const std::vector<ValuedFace> faces = valued_hole_faces(*m_mesh, m_holeFaceMask, grid);
  // The bound pass's left camera: c2 with the first field of view (swap
  // set), or for hole-face bounds the exact score's, c1 with the second.
  std::vector<float> bounds(n, 0.f);
  if (!m_holeFacesDrawn || faces.empty()) return bounds;
  const int camera = m_holeFaceBounds ? 1 : 2;
  const double fovy = m_fovys[m_holeFaceBounds && m_fovys.size() > 1 ? 1 : 0];
  for (int i = 0; i < n; ++i)
    bounds[i] = m_weights[i] * hole_area_bound(faces, aim(candidate_camera(i, camera), fovy), m_width, m_height);
  return bounds;
}

int EmulateBinHelper::select_best_candidate(std::vector<float>& results) {
  const int n = candidate_count();
  results.assign(n, 0.f);
  m_stats = SelectionStats{n, 0, 0};
  std::string err;
  if (n == 0 || !TavoGLFWWindow::make_current_context(err)) return fail_selection();
  if (static_cast<int>(m_ranking.size()) != n) reset_bounds(false);
  auto byBound = [](const std::pair<int, float>& a, const std::pair<int, float>& b) { return a.second > b.second; };
  if (m_areaBounds) {
    // Both the old bound and the area bound hold, so the smaller does.
    const std::vector<float> area = area_bounds();
    if (!area.empty()) {
      for (auto& [i, bound] : m_ranking) bound = std::min(bound, area[i]);
      std::stable_sort(m_ranking.begin(), m_ranking.end(), byBound);
    }
  }

  float best = -1.f;
  for (auto& [i, bound] : m_ranking) {
    if (kLazyBoundShare * best > bound) {
      results[i] = bound;
    } else if (m_used[i]) {
      results[i] = bound = 0.f;
    } else {
      float s = 0.f;
      if (!score_candidate(i, true, s)) return fail_selection();
      results[i] = bound = s;
      ++m_stats.boundsScored;
      best = std::max(best, s);
    }
  }
  std::stable_sort(m_ranking.begin(), m_ranking.end(), byBound);

  float chosenScore = -1.f;
  int chosen = 0;
  for (std::size_t k = 0; k < m_ranking.size(); ++k) {
    auto& [i, bound] = m_ranking[k];
    m_voxels.clear_visit_mask();
    float s = 0.f;
    if (!score_candidate(i, false, s)) return fail_selection();
    ++m_stats.exactScored;
    if (results[i] > s) results[i] = bound = s;
    if (results[i] > chosenScore) {
      m_voxels.save_visit_mask();
      chosenScore = results[i];
      chosen = i;
    }
    if (k + 1 < m_ranking.size() && chosenScore > m_ranking[k + 1].second) break;
  }
  std::stable_sort(m_ranking.begin(), m_ranking.end(), byBound);
  m_used[chosen] = true;
  return chosen;
}

void EmulateBinHelper::accept_view() { m_voxels.accept_view(); }

void EmulateBinHelper::set_opengl_camera(double fovy, double /*ignored*/, double nearPlane, double farPlane) {
  m_camera.set_near_fovy_far(nearPlane, fovy, farPlane);
}

}  // namespace TavoAlgorithm

// OpenGL buffers reach the kernels byte for byte: mapped through CUDA-OpenGL
// interop on a CUDA device, as a back-end copy elsewhere.
#include <gtest/gtest.h>

#include <GL/glew.h>

#include <numeric>
#include <vector>

#include "AutoScan/emulateBinocular/GLBufferView.h"
#include "common/gpu/device_memory.h"
#include "gl_test_context.h"

using namespace TavoAlgorithm;
using namespace TavoGPUAlgorithm;

namespace {

struct Buffer {
  GLuint id = 0;
  explicit Buffer(const std::vector<int>& data) {
    glGenBuffers(1, &id);
    glBindBuffer(GL_COPY_WRITE_BUFFER, id);
    glBufferData(GL_COPY_WRITE_BUFFER, static_cast<GLsizeiptr>(data.size() * sizeof(int)), data.data(),
                 GL_DYNAMIC_DRAW);
    glBindBuffer(GL_COPY_WRITE_BUFFER, 0);
  }
  ~Buffer() { glDeleteBuffers(1, &id); }
};

std::vector<int> read(const void* contents, std::size_t bytes) {
  std::vector<int> host(bytes / sizeof(int));
  copy_to_host(host.data(), contents, bytes);
  return host;
}

}  // namespace

TEST(GLBufferView, MapsTheBufferBytesAndSurvivesAMove) {
  TAVO_REQUIRE_GL_CONTEXT();
  std::string err;
  ASSERT_TRUE(TavoGLFWWindow::make_current_context(err) && TavoGLFWWindow::init_glew(err)) << err;
  std::vector<int> data(3001);
  std::iota(data.begin(), data.end(), -7);
  const Buffer b(data);
  GLBufferView view;
  ASSERT_TRUE(view.attach(b.id, data.data(), data.size() * sizeof(int)));
  const auto* vendor = reinterpret_cast<const char*>(glGetString(GL_VENDOR));
  if (active_backend() == Backend::Cuda && vendor && std::string(vendor).find("NVIDIA") != std::string::npos)
    EXPECT_TRUE(view.on_device());
  if (active_backend() == Backend::Cpu) EXPECT_FALSE(view.on_device());
  const void* contents = nullptr;
  ASSERT_TRUE(view.map(contents));
  ASSERT_NE(contents, nullptr);
  EXPECT_EQ(read(contents, view.bytes()), data);
  view.unmap();

  // The view moves with its registration or copy; the source is left empty.
  GLBufferView moved = std::move(view);
  EXPECT_EQ(view.bytes(), 0u);
  EXPECT_FALSE(view.on_device());
  ASSERT_TRUE(moved.map(contents));
  EXPECT_EQ(read(contents, moved.bytes()), data);
  moved.unmap();
  moved.detach();
  EXPECT_EQ(moved.bytes(), 0u);
  ASSERT_TRUE(moved.map(contents));
  EXPECT_EQ(contents, nullptr);
}

TEST(GLBufferView, AnEmptyBufferMapsToNothing) {
  GLBufferView view;
  const void* contents = &view;
  ASSERT_TRUE(view.map(contents));
  EXPECT_EQ(contents, nullptr);
  ASSERT_TRUE(view.attach(0, nullptr, 0));
  EXPECT_EQ(view.bytes(), 0u);
  ASSERT_TRUE(view.map(contents));
  EXPECT_EQ(contents, nullptr);
}

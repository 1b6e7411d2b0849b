// Renderbuffer pixels reach back-end memory byte for byte, rows bottom-up:
// through CUDA-OpenGL interop on a CUDA device, by read-back elsewhere.
#include <gtest/gtest.h>

#include <GL/glew.h>

#include <cstring>
#include <iostream>

#include "AutoScan/emulateBinocular/RenderbufferImage.h"
#include "common/gpu/device_memory.h"
#include "gl_test_context.h"

using namespace TavoAlgorithm;
using namespace TavoGPUAlgorithm;

namespace {

constexpr int kW = 40, kH = 24;

struct Target {
  GLuint fbo = 0, colour = 0;
  Target(GLenum format) {
    glGenFramebuffers(1, &fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glGenRenderbuffers(1, &colour);
    glBindRenderbuffer(GL_RENDERBUFFER, colour);
    glRenderbufferStorage(GL_RENDERBUFFER, format, kW, kH);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
    glBindRenderbuffer(GL_RENDERBUFFER, 0);
  }
  ~Target() {
    glDeleteFramebuffers(1, &fbo);
    glDeleteRenderbuffers(1, &colour);
  }
  // Zero everywhere, rgba (as bytes) in x 10..29, y 5..14 (window coordinates,
  // y up from the bottom row).
  void paint(const std::uint8_t rgba[4]) const {
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glViewport(0, 0, kW, kH);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_SCISSOR_TEST);
    glScissor(10, 5, 20, 10);
    glClearColor(rgba[0] / 255.f, rgba[1] / 255.f, rgba[2] / 255.f, rgba[3] / 255.f);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_SCISSOR_TEST);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);
  }
};

bool inside(int x, int y) { return x >= 10 && x < 30 && y >= 5 && y < 15; }

std::string gl_vendor() {
  const auto* v = reinterpret_cast<const char*>(glGetString(GL_VENDOR));
  return v ? v : "";
}

}  // namespace

TEST(RenderbufferImage, CopiesEveryByteRowsBottomUp) {
  TAVO_REQUIRE_GL_CONTEXT();
  std::string err;
  ASSERT_TRUE(TavoGLFWWindow::make_current_context(err) && TavoGLFWWindow::init_glew(err)) << err;
  const std::uint8_t colour[4] = {255, 128, 64, 7};
  for (int bpp : {4, 1}) {
    const Target t(bpp == 4 ? GL_RGBA8 : GL_R8);
    RenderbufferImage image;
    ASSERT_TRUE(image.attach(t.fbo, t.colour, kW, kH, bpp, err)) << err;
    if (active_backend() == Backend::Cuda && !image.on_device()) {
      // Interop needs the OpenGL context on the CUDA device.
      EXPECT_EQ(gl_vendor().find("NVIDIA"), std::string::npos) << image.interop_refusal();
      std::cout << "read-back instead of interop: " << image.interop_refusal() << std::endl;
    }
    t.paint(colour);
    DeviceBuffer<std::uint8_t> dst(image.bytes());
    ASSERT_EQ(image.bytes(), static_cast<std::size_t>(kW * kH * bpp));
    ASSERT_TRUE(image.copy_to(dst.data()));
    std::vector<std::uint8_t> host(dst.size());
    dst.download(host.data(), host.size());
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x)
        for (int c = 0; c < bpp; ++c)
          ASSERT_EQ(host[(y * kW + x) * bpp + c], inside(x, y) ? colour[c] : 0) << bpp << " " << x << " " << y;
    // A second picture replaces the first.
    const std::uint8_t other[4] = {1, 2, 3, 4};
    t.paint(other);
    ASSERT_TRUE(image.copy_to(dst.data()));
    dst.download(host.data(), host.size());
    EXPECT_EQ(host[(5 * kW + 10) * bpp], 1);
  }
}

TEST(RenderbufferImage, RefusesBadSizesAndCopiesNothingUnattached) {
  std::string err;
  RenderbufferImage image;
  EXPECT_FALSE(image.attach(0, 0, 0, 10, 4, err));
  EXPECT_FALSE(err.empty());
  EXPECT_FALSE(image.attach(0, 0, 10, 10, 3, err));
  EXPECT_EQ(image.bytes(), 0u);
  std::uint8_t byte = 9;
  EXPECT_FALSE(image.copy_to(&byte));
  EXPECT_EQ(byte, 9);
}

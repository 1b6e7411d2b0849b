// The hidden OpenGL context: version, reuse, re-creation, other threads.
#include <GL/glew.h>
#include <gtest/gtest.h>

#include <thread>

#include "geometry/TavoGLFWWindow.h"
#include "gl_test_context.h"

using namespace TavoAlgorithm;

TEST(TavoGLFWWindow, CoreContextIsReusedRefusedAboveItsVersionAndRemadeOnAnotherThread) {
  TAVO_REQUIRE_GL_CONTEXT();
  std::string err;
  ASSERT_TRUE(TavoGLFWWindow::make_current_context(err) && TavoGLFWWindow::init_glew(err)) << err;
  GLint major = 0, minor = 0, profile = 0;
  glGetIntegerv(GL_MAJOR_VERSION, &major);
  glGetIntegerv(GL_MINOR_VERSION, &minor);
  glGetIntegerv(GL_CONTEXT_PROFILE_MASK, &profile);
  EXPECT_GE(major * 10 + minor, 43) << glGetString(GL_VERSION);
  EXPECT_NE(profile & GL_CONTEXT_CORE_PROFILE_BIT, 0);
  EXPECT_TRUE(TavoGLFWWindow::get_instance(640, 480, err, 3, 3, false));
  EXPECT_FALSE(TavoGLFWWindow::get_instance(640, 480, err, 9, 0, false));
  EXPECT_FALSE(err.empty());

  EXPECT_EQ(TavoGLFWWindow::delete_all(), RETVAL_SUCCESS);
  EXPECT_FALSE(TavoGLFWWindow::alive() || TavoGLFWWindow::make_current_context(err));
  EXPECT_EQ(TavoGLFWWindow::delete_all(), RETVAL_SUCCESS) << "twice is harmless";
  bool ok = false;
  major = 0;
  std::thread worker([&] {
    std::string e;
    ok = TavoGLFWWindow::get_instance(1280, 960, e, 4, 3, false) && TavoGLFWWindow::make_current_context(e) &&
         TavoGLFWWindow::init_glew(e);
    if (ok) glGetIntegerv(GL_MAJOR_VERSION, &major);
    TavoGLFWWindow::delete_all();
  });
  worker.join();
  EXPECT_TRUE(ok && major >= 4 && !TavoGLFWWindow::alive());
}

TEST(TavoGLFWWindow, BadSizeIsRefused) {
  TavoGLFWWindow::delete_all();
  std::string err;
  EXPECT_FALSE(TavoGLFWWindow::get_instance(0, 960, err, 4, 3, false));
  EXPECT_EQ(err, "bad window size");
}

#pragma once
// OpenGL tests skip, with the reason, where no 4.3 core context can be made.
#include <gtest/gtest.h>

#include <string>

#include "geometry/TavoGLFWWindow.h"

#define TAVO_REQUIRE_GL_CONTEXT()                                                          \
  do {                                                                                     \
    std::string glReason_;                                                                 \
    if (!::TavoAlgorithm::TavoGLFWWindow::get_instance(1280, 960, glReason_, 4, 3, false)) \
      GTEST_SKIP() << "no OpenGL 4.3 core context: " << glReason_;                        \
  } while (0)

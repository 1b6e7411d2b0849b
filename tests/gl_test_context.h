#pragma once
// OpenGL tests skip, with the reason, where no 4.3 core context can be made.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <fstream>
#include <set>
#include <string>

#include "geometry/TavoGLFWWindow.h"

namespace TavoAlgorithm::test {

// Closing the last EGL display unloads Mesa's driver, which keeps small
// blocks it never frees: LeakSanitizer then reports them from an unknown
// module that no suppression can name. Kept mapped until exit, the driver
// still holds them (and tests/lsan-mesa.supp names it), so only real leaks
// are reported.
inline void keep_gl_driver_loaded() {
  std::ifstream maps("/proc/self/maps");
  std::set<std::string> modules;
  for (std::string line; std::getline(maps, line);) {
    const auto slash = line.find('/');
    if (slash == std::string::npos) continue;
    const std::string path = line.substr(slash);
    if (path.find("/dri/") != std::string::npos || path.find("libgallium") != std::string::npos) modules.insert(path);
  }
  // RTLD_NOLOAD: only what the context already loaded; the handle is kept.
  for (const auto& m : modules) ::dlopen(m.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
}

}  // namespace TavoAlgorithm::test

#define TAVO_REQUIRE_GL_CONTEXT()                                                          \
  do {                                                                                     \
    std::string glReason_;                                                                 \
    if (!::TavoAlgorithm::TavoGLFWWindow::get_instance(1280, 960, glReason_, 4, 3, false)) \
      GTEST_SKIP() << "no OpenGL 4.3 core context: " << glReason_;                        \
    ::TavoAlgorithm::test::keep_gl_driver_loaded();                                        \
  } while (0)

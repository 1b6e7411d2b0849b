#pragma once
// The one hidden OpenGL context of the process, shared by every off-screen
// renderer. Headless first: an EGL context (Mesa surfaceless platform, else the
// default display with a pbuffer) needs no display server; where EGL gives no
// context a hidden GLFW window is used. Calls are serialised internally, but
// the context itself is current on one thread at a time: renderers make it
// current on their own thread before every render.
#include <string>

#include "RetVal.h"

namespace TavoAlgorithm {

class TavoGLFWWindow {
 public:
  // Creates the context once (core profile major.minor, size width x height
  // for the surface where one is needed; visible only matters for a GLFW
  // window) and makes it current. Later calls reuse it and only check that it
  // offers at least major.minor. False with a reason in err when no context
  // of that version can be had.
  static bool get_instance(int width, int height, std::string& err, int major, int minor,
                           bool visible);
  // Makes the context current on the calling thread; false (reason in err)
  // when there is none or the driver refuses.
  static bool make_current_context(std::string& err);
  // Testing aid for the callers' failure paths: after `calls` more successful
  // make_current_context calls, every later one fails as it would once the
  // context is lost. A negative count (the initial state) turns this off.
  static void fail_make_current_after(int calls);
  // Loads the OpenGL entry points for the current context. GLEW builds made
  // for GLX report "no GLX display" under EGL after the core entry points
  // have loaded; that case counts as success.
  static bool init_glew(std::string& err);
  // Destroys the context; success also when none existed.
  static RetVal delete_all();
  static bool alive();
  // Which kind of context is alive: "egl", "glfw" or "" for none.
  static const char* kind();
};

}  // namespace TavoAlgorithm

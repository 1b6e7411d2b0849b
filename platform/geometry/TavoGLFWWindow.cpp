#include "geometry/TavoGLFWWindow.h"

#include <GL/glew.h>
// glew.h first: it replaces the GL headers the others would pull in.
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLFW/glfw3.h>

#include <memory>
#include <mutex>
#include <sstream>

namespace TavoAlgorithm {
namespace {

struct Context {
  EGLDisplay display = EGL_NO_DISPLAY;
  EGLContext context = EGL_NO_CONTEXT;
  EGLSurface surface = EGL_NO_SURFACE;
  GLFWwindow* window = nullptr;  // owned through glfwDestroyWindow
  int major = 0, minor = 0;

  ~Context() {
    if (window) {
      glfwDestroyWindow(window);
      glfwTerminate();
    }
    if (display != EGL_NO_DISPLAY) {
      eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
      if (surface != EGL_NO_SURFACE) eglDestroySurface(display, surface);
      if (context != EGL_NO_CONTEXT) eglDestroyContext(display, context);
      eglTerminate(display);
    }
  }
  bool is_egl() const { return context != EGL_NO_CONTEXT; }
};

std::mutex gMutex;
std::unique_ptr<Context> gContext;
int gCallsBeforeLoss = -1;  // guarded by gMutex

std::string egl_error(const char* what) {
  std::ostringstream s;
  s << what << " failed, EGL error 0x" << std::hex << eglGetError();
  return s.str();
}

EGLDisplay open_egl_display() {
  const auto getPlatformDisplay =
      reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
  if (getPlatformDisplay) {
    EGLDisplay d = getPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    EGLint ma = 0, mi = 0;
    if (d != EGL_NO_DISPLAY && eglInitialize(d, &ma, &mi)) return d;
  }
  EGLDisplay d = eglGetDisplay(EGL_DEFAULT_DISPLAY);
  EGLint ma = 0, mi = 0;
  if (d != EGL_NO_DISPLAY && eglInitialize(d, &ma, &mi)) return d;
  return EGL_NO_DISPLAY;
}

std::unique_ptr<Context> create_egl(int width, int height, int major, int minor, std::string& err) {
  auto c = std::make_unique<Context>();
  c->display = open_egl_display();
  if (c->display == EGL_NO_DISPLAY) {
    err = egl_error("eglInitialize");
    return nullptr;
  }
  if (!eglBindAPI(EGL_OPENGL_API)) {
    err = egl_error("eglBindAPI");
    return nullptr;
  }
  const EGLint configAttribs[] = {EGL_SURFACE_TYPE, EGL_PBUFFER_BIT, EGL_RENDERABLE_TYPE,
                                  EGL_OPENGL_BIT, EGL_NONE};
  EGLConfig config = nullptr;
  EGLint configs = 0;
  eglChooseConfig(c->display, configAttribs, &config, 1, &configs);
  const EGLint contextAttribs[] = {EGL_CONTEXT_MAJOR_VERSION, major, EGL_CONTEXT_MINOR_VERSION, minor,
                                   EGL_CONTEXT_OPENGL_PROFILE_MASK,
                                   EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_NONE};
  c->context = eglCreateContext(c->display, configs > 0 ? config : EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT,
                                contextAttribs);
  if (c->context == EGL_NO_CONTEXT) {
    err = egl_error("eglCreateContext");
    return nullptr;
  }
  // Renderers draw into their own framebuffers; a pbuffer is only made where
  // the driver cannot bind a context without a surface.
  if (!eglMakeCurrent(c->display, EGL_NO_SURFACE, EGL_NO_SURFACE, c->context)) {
    if (configs > 0) {
      const EGLint pbufferAttribs[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
      c->surface = eglCreatePbufferSurface(c->display, config, pbufferAttribs);
    }
    if (c->surface == EGL_NO_SURFACE || !eglMakeCurrent(c->display, c->surface, c->surface, c->context)) {
      err = egl_error("eglMakeCurrent");
      return nullptr;
    }
  }
  c->major = major;
  c->minor = minor;
  return c;
}

std::unique_ptr<Context> create_glfw(int width, int height, int major, int minor, bool visible,
                                     std::string& err) {
  if (!glfwInit()) {
    err = "glfwInit failed";
    return nullptr;
  }
  glfwDefaultWindowHints();
  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, major);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, minor);
  glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
  glfwWindowHint(GLFW_VISIBLE, visible ? GLFW_TRUE : GLFW_FALSE);
  GLFWwindow* w = glfwCreateWindow(width, height, "", nullptr, nullptr);
  if (!w) {
    glfwTerminate();
    err = "glfwCreateWindow failed";
    return nullptr;
  }
  auto c = std::make_unique<Context>();
  c->window = w;
  c->major = major;
  c->minor = minor;
  glfwMakeContextCurrent(w);
  return c;
}

bool make_current_locked(std::string& err) {
  if (!gContext) {
    err = "no OpenGL context";
    return false;
  }
  if (gContext->window) {
    glfwMakeContextCurrent(gContext->window);
    return true;
  }
  if (!eglMakeCurrent(gContext->display, gContext->surface, gContext->surface, gContext->context)) {
    err = egl_error("eglMakeCurrent");
    return false;
  }
  return true;
}

}  // namespace

bool TavoGLFWWindow::get_instance(int width, int height, std::string& err, int major, int minor,
                                  bool visible) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gContext) {
    if (gContext->major > major || (gContext->major == major && gContext->minor >= minor)) return true;
    err = "the OpenGL context has a lower version than requested";
    return false;
  }
  if (width <= 0 || height <= 0) {
    err = "bad window size";
    return false;
  }
  std::string eglErr, glfwErr;
  gContext = create_egl(width, height, major, minor, eglErr);
  if (!gContext) gContext = create_glfw(width, height, major, minor, visible, glfwErr);
  if (!gContext) {
    err = "no OpenGL " + std::to_string(major) + "." + std::to_string(minor) + " core context: " +
          eglErr + "; " + glfwErr;
    return false;
  }
  return true;
}

bool TavoGLFWWindow::make_current_context(std::string& err) {
  std::lock_guard<std::mutex> lock(gMutex);
  if (gCallsBeforeLoss == 0) {
    err = "the OpenGL context was lost";
    return false;
  }
  if (gCallsBeforeLoss > 0) --gCallsBeforeLoss;
  return make_current_locked(err);
}

void TavoGLFWWindow::fail_make_current_after(int calls) {
  std::lock_guard<std::mutex> lock(gMutex);
  gCallsBeforeLoss = calls < 0 ? -1 : calls;
}

bool TavoGLFWWindow::init_glew(std::string& err) {
  glewExperimental = GL_TRUE;
  const GLenum r = glewInit();
  if (r == GLEW_OK) return true;
  if (r == GLEW_ERROR_NO_GLX_DISPLAY && glCreateShader && glGenFramebuffers && glBindBufferBase) {
    glGetError();  // glewInit may leave an enum error from probing extensions
    return true;
  }
  err = reinterpret_cast<const char*>(glewGetErrorString(r));
  return false;
}

RetVal TavoGLFWWindow::delete_all() {
  std::lock_guard<std::mutex> lock(gMutex);
  gContext.reset();
  return RETVAL_SUCCESS;
}

bool TavoGLFWWindow::alive() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gContext != nullptr;
}

const char* TavoGLFWWindow::kind() {
  std::lock_guard<std::mutex> lock(gMutex);
  if (!gContext) return "";
  return gContext->is_egl() ? "egl" : "glfw";
}

}  // namespace TavoAlgorithm

#pragma once
// Check of the GPU and OpenGL environment, for the host application to call
// once from its main thread before it creates any planner.
#include <cstdint>

#include "TavoExport.h"

namespace TavoAlgorithm {

// True when a CUDA device of compute capability 2.0 or more with at least
// 2 GiB exists, a test kernel runs, GLFW initialises and a hidden 640 x 480
// OpenGL 4.3 core window can be created. The diagnosis goes to
// "out/outPrint.txt" under the working directory, replacing it (lost when the
// file cannot be opened); nothing is printed. Initialises and terminates GLFW
// itself: not to be called while TavoGLFWWindow holds a GLFW window.
TAVO_API bool detect_cuda_and_opengl_enable();

}  // namespace TavoAlgorithm

// Asks drivers of switchable-graphics machines to run CUDA work on the
// discrete NVIDIA device. Always 1; never read by the library.
extern "C" TAVO_API std::uint32_t NvOptimusEnablementCuda;

// Placeholder of the laser-line mode until it is built into the demo.
#include <iostream>

#include "demo_modes.h"

int run_laser_demo(int /*argc*/, char** /*argv*/) {
  std::cerr << "laser mode is not built" << std::endl;
  return 2;
}

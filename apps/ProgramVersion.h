#pragma once
// The line every program prints for --version: its name, the version of the
// headers it was built with and that of the library it runs with (they
// differ when an installed program meets another library).
#include <string>

#include "TavoVersion.h"

namespace TavoAlgorithm::apps {

inline std::string version_line(const std::string& program) {
  return program + " " + TAVO_VERSION_STRING + " (TavoAlgorithm library " + library_version() + ")";
}

}  // namespace TavoAlgorithm::apps

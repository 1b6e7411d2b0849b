#pragma once
// Located console lines of the platform stand-ins, in the shape the scanner
// software reads from every library it loads: "<path> <line> Error: <message>"
// (or " Warning: "), one line on std::cout ended with std::endl.
#include <iostream>
#include <string_view>

namespace TavoAlgorithm::platform_console {

inline void located(std::string_view path, int line, std::string_view kind, std::string_view message) {
  std::cout << path << " " << line << kind << message << std::endl;
}

}  // namespace TavoAlgorithm::platform_console

#define TAVO_PLATFORM_ERROR(msg) \
  ::TavoAlgorithm::platform_console::located(__FILE__, __LINE__, " Error: ", (msg))
#define TAVO_PLATFORM_WARNING(msg) \
  ::TavoAlgorithm::platform_console::located(__FILE__, __LINE__, " Warning: ", (msg))

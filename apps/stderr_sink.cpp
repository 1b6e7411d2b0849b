// Linked into every program: before main runs, the console sinks of the
// library and of the platform stand-ins are set to write information lines to
// standard output and warnings, errors and exceptions to standard error.
#include <cstdio>

#include "ConsoleSink.h"
#include "geometry/ConsoleLines.h"

namespace {

void to_streams(TavoAlgorithm::ConsoleLevel level, std::string_view text, void*) {
  std::FILE* out = level == TavoAlgorithm::ConsoleLevel::Info ? stdout : stderr;
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

const bool kInstalled = (TavoAlgorithm::set_console_sink(to_streams, nullptr),
                         TavoAlgorithm::platform_console::set_sink(to_streams, nullptr), true);

}  // namespace

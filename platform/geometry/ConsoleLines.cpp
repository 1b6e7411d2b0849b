#include "geometry/ConsoleLines.h"

#include <iostream>
#include <mutex>
#include <string>

namespace TavoAlgorithm::platform_console {

namespace {

void to_stdout(ConsoleLevel, std::string_view text, void*) { std::cout << text << std::flush; }

struct SinkSlot {
  std::mutex mutex;
  ConsoleSink sink = to_stdout;
  void* user = nullptr;
};

// Function-local, so that lines written during a host's static
// initialisation find it constructed.
SinkSlot& slot() {
  static SinkSlot s;
  return s;
}

}  // namespace

void set_sink(ConsoleSink sink, void* user) {
  SinkSlot& s = slot();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sink = sink ? sink : to_stdout;
  s.user = sink ? user : nullptr;
}

void located(std::string_view path, int line, std::string_view kind, std::string_view message) {
  std::string text;
  text.reserve(path.size() + kind.size() + message.size() + 16);
  text.append(path).append(" ").append(std::to_string(line)).append(kind).append(message).append("\n");
  const ConsoleLevel level = kind.find("Warning") != std::string_view::npos ? ConsoleLevel::Warning : ConsoleLevel::Error;
  SinkSlot& s = slot();
  std::lock_guard<std::mutex> lock(s.mutex);
  try {
    s.sink(level, text, s.user);
  } catch (...) {
    // A host sink that throws loses its line rather than unwinding into the caller.
  }
}

}  // namespace TavoAlgorithm::platform_console

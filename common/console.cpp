#include <iostream>
#include <mutex>

#include "ConsoleSink.h"

namespace TavoAlgorithm {

namespace {

void default_sink(ConsoleLevel level, std::string_view text, void*) {
  std::ostream& out = level == ConsoleLevel::Exception ? std::cerr : std::cout;
  out << text << std::flush;
}

struct SinkSlot {
  std::mutex mutex;
  ConsoleSink sink = default_sink;
  void* user = nullptr;
};

// Function-local, so that lines written during static initialisation of a
// host find it constructed.
SinkSlot& slot() {
  static SinkSlot s;
  return s;
}

}  // namespace

void set_console_sink(ConsoleSink sink, void* user) {
  SinkSlot& s = slot();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sink = sink ? sink : default_sink;
  s.user = sink ? user : nullptr;
}

void write_console(ConsoleLevel level, std::string_view text) {
  SinkSlot& s = slot();
  std::lock_guard<std::mutex> lock(s.mutex);
  try {
    s.sink(level, text, s.user);
  } catch (...) {
    // A host sink that throws loses its line rather than unwinding into the library.
  }
}

}  // namespace TavoAlgorithm

#pragma once
// The console lines of the library. Each line is built whole and handed to
// the console sink (ConsoleSink.h): by default std::cout, flushed; only
// "unknown exception" goes to std::cerr. The other modules use these
// functions and the label constants instead of writing their own streams.
// Paths are the ones the build passes to the compiler, relative to the
// source root (the build maps the root away from __FILE__).
#include <cstdint>
#include <ctime>
#include <sstream>
#include <string>
#include <string_view>

#include "ConsoleSink.h"

namespace TavoAlgorithm::console {

namespace detail {
template <typename... Parts>
void line(ConsoleLevel level, const Parts&... parts) {
  std::ostringstream s;
  (s << ... << parts) << '\n';
  write_console(level, s.str());
}
}  // namespace detail

// "<path> <line> Error: <message>"
inline void error_at(std::string_view path, int line, std::string_view message) {
  detail::line(ConsoleLevel::Error, path, " ", line, " Error: ", message);
}

// "<path> <line> Warning: <message>"
inline void warning_at(std::string_view path, int line, std::string_view message) {
  detail::line(ConsoleLevel::Warning, path, " ", line, " Warning: ", message);
}

// "Error: <runtime error string>\t<path>:<line>"
inline void gpu_error(std::string_view errorString, std::string_view path, int line) {
  detail::line(ConsoleLevel::Error, "Error: ", errorString, "\t", path, ":", line);
}

inline void message(std::string_view text) { detail::line(ConsoleLevel::Info, text); }

// Text that carries its own line ends (written as is).
inline void text(std::string_view t) { write_console(ConsoleLevel::Info, t); }

inline void unknown_exception() { detail::line(ConsoleLevel::Exception, "unknown exception"); }

// Millisecond line: label then the processor time since start. The ticks are
// converted, since POSIX clocks tick a million times a second, not a thousand.
inline void elapsed_ms(std::string_view label, std::clock_t start) {
  detail::line(ConsoleLevel::Info, label, static_cast<long long>(std::clock() - start) * 1000 / CLOCKS_PER_SEC);
}

// Microsecond line: label then a CQueryPerformance reading.
inline void elapsed_us(std::string_view label, std::int64_t microseconds) {
  detail::line(ConsoleLevel::Info, label, microseconds);
}

// Exact labels of the timing lines (trailing blanks matter); the other
// operations' labels join them with their callers.
namespace label {
inline constexpr std::string_view kRebuildMesh = "rebuild mesh cost:   ";
inline constexpr std::string_view kFindPlane = "find plane cost: ";
inline constexpr std::string_view kFindPath = "find path cost: ";
inline constexpr std::string_view kFixHoles = "fix holes cost:   ";
inline constexpr std::string_view kExtendHoles = "extend holes cost:   ";
inline constexpr std::string_view kAutoFindHoles = "auto find holes cost:   ";
inline constexpr std::string_view kMcUs = "Mc Time is:";
}  // namespace label

}  // namespace TavoAlgorithm::console

// Located lines name the file and line of the check that fails.
#define TAVO_LOG_ERROR(msg) ::TavoAlgorithm::console::error_at(__FILE__, __LINE__, (msg))
#define TAVO_LOG_WARNING(msg) ::TavoAlgorithm::console::warning_at(__FILE__, __LINE__, (msg))

#pragma once
// The console lines of the library. Every line goes to std::cout, ends with
// std::endl and is written with one chain of insertions; only "unknown
// exception" goes to std::cerr. The other modules use these functions and the
// label constants instead of writing their own streams.
#include <cstdint>
#include <ctime>
#include <iostream>
#include <string_view>

namespace TavoAlgorithm::console {

// "<path> <line> Error: <message>"
inline void error_at(std::string_view path, int line, std::string_view message) {
  std::cout << path << " " << line << " Error: " << message << std::endl;
}

// "<path> <line> Warning: <message>"
inline void warning_at(std::string_view path, int line, std::string_view message) {
  std::cout << path << " " << line << " Warning: " << message << std::endl;
}

// "Error: <runtime error string>\t<path>:<line>"
inline void gpu_error(std::string_view errorString, std::string_view path, int line) {
  std::cout << "Error: " << errorString << "\t" << path << ":" << line << std::endl;
}

inline void message(std::string_view text) { std::cout << text << std::endl; }

// Text that carries its own line ends (written as is, then flushed).
inline void text(std::string_view t) { std::cout << t << std::flush; }

inline void unknown_exception() { std::cerr << "unknown exception" << std::endl; }

// Millisecond line: label then the processor time since start. The ticks are
// converted, since POSIX clocks tick a million times a second, not a thousand.
inline void elapsed_ms(std::string_view label, std::clock_t start) {
  std::cout << label << static_cast<long long>(std::clock() - start) * 1000 / CLOCKS_PER_SEC << std::endl;
}

// Microsecond line: label then a CQueryPerformance reading.
inline void elapsed_us(std::string_view label, std::int64_t microseconds) {
  std::cout << label << microseconds << std::endl;
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

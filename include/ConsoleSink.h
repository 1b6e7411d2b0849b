#pragma once
// Where the library's console lines go. By default every line goes to
// standard output, except "unknown exception" which goes to standard error.
// A host may install its own sink, e.g. to send errors to its log.
#include <string_view>

#include "TavoExport.h"

namespace TavoAlgorithm {

enum class ConsoleLevel { Info, Warning, Error, Exception };

// Receives one piece of console text with its own line end ("...\n").
// Called under the library's console lock, one call at a time, from whichever
// thread writes the line; it must not write console lines itself.
using ConsoleSink = void (*)(ConsoleLevel level, std::string_view text, void* user);

// Installs sink (with user passed back on every call); null restores the
// default. Thread-safe; a line being written finishes on the old sink.
TAVO_API void set_console_sink(ConsoleSink sink, void* user);

// Sends text to the installed sink. Thread-safe.
TAVO_API void write_console(ConsoleLevel level, std::string_view text);

}  // namespace TavoAlgorithm

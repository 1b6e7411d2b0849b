#pragma once
// Located console lines of the platform stand-ins, in the shape the scanner
// software reads from every library it loads: "<path> <line> Error: <message>"
// (or " Warning: "), one whole line. By default they go to std::cout,
// flushed; a host may install its own sink (the same sink type as the
// library's, ConsoleSink.h), e.g. to send them to standard error or its log.
#include <string_view>

#include "ConsoleSink.h"
#include "TavoExport.h"

namespace TavoAlgorithm::platform_console {

// Installs sink for the stand-ins' lines (user is passed back on every call);
// null restores std::cout. Thread-safe; the sink is called under a lock, one
// line at a time, with the line end included. A sink that throws loses its
// line; the throw does not reach the caller.
TAVO_API void set_sink(ConsoleSink sink, void* user);

// Writes "<path> <line><kind><message>\n" through the installed sink; kind is
// " Error: " or " Warning: ". Thread-safe.
TAVO_API void located(std::string_view path, int line, std::string_view kind, std::string_view message);

}  // namespace TavoAlgorithm::platform_console

#define TAVO_PLATFORM_ERROR(msg) \
  ::TavoAlgorithm::platform_console::located(__FILE__, __LINE__, " Error: ", (msg))
#define TAVO_PLATFORM_WARNING(msg) \
  ::TavoAlgorithm::platform_console::located(__FILE__, __LINE__, " Warning: ", (msg))

#pragma once
// Symbol visibility of the exported interface. The library builds with the
// default visibility, so the macro only matters for builds that hide symbols.
#if defined(_WIN32)
#  if defined(TAVO_BUILDING_LIBRARY)
#    define TAVO_API __declspec(dllexport)
#  else
#    define TAVO_API __declspec(dllimport)
#  endif
#else
#  define TAVO_API __attribute__((visibility("default")))
#endif

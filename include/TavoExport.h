#pragma once
// Symbol visibility of the exported interface. The library compiles with
// hidden visibility; only what carries this macro is exported.
#if defined(_WIN32)
#  if defined(TAVO_BUILDING_LIBRARY)
#    define TAVO_API __declspec(dllexport)
#  else
#    define TAVO_API __declspec(dllimport)
#  endif
#else
#  define TAVO_API __attribute__((visibility("default")))
#endif

# Runs PROGRAM with ARGS (a ;-list) and checks that it fails, that its error
# lines reach standard error with source paths relative to the source root,
# and that standard output carries none of them.
separate_arguments(args UNIX_COMMAND "${ARGS}")
execute_process(COMMAND "${PROGRAM}" ${args} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} succeeded on bad input\nstdout:\n${out}\nstderr:\n${err}")
endif()
if(NOT err MATCHES "(^|\n)${EXPECTED}")
  message(FATAL_ERROR "stderr lacks a line starting '${EXPECTED}':\n${err}")
endif()
if(out MATCHES "Error: ")
  message(FATAL_ERROR "error lines on stdout:\n${out}")
endif()
if(err MATCHES "(^|\n)/[^\n]*\\.(cpp|h|cu) [0-9]+ Error: ")
  message(FATAL_ERROR "absolute source path in an error line:\n${err}")
endif()

#pragma once
// Result of the exported operations that can fail. Callers compare against the
// numeric values, so they are fixed; 1 is never produced.
namespace TavoAlgorithm {

enum RetVal : int {
  RETVAL_SUCCESS = 0,
  RETVAL_FAILED = 2,     // bad or inconsistent input, missing setup, no result
  RETVAL_NOT_READY = 3,  // helper cannot serve the call in its present state
  RETVAL_NO_MEMORY = 4,  // a laser record pool could not grow
};

}  // namespace TavoAlgorithm

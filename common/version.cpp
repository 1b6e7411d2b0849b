#include "TavoVersion.h"

namespace TavoAlgorithm {

const char* library_version() { return TAVO_VERSION_STRING; }

}  // namespace TavoAlgorithm

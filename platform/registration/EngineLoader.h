#pragma once
// Loads the registration engine module on first use. The module carries the
// registration library and everything it links, so that programs which never
// register frames do not load them.
#include "engine/RegistrationEngine.h"

namespace TavoAlgorithm::TavoRegistration {

// File name of the module.
inline constexpr const char* kEngineModule = "libTavoRegistrationEngine.so";

// The engine, loaded once per process (thread-safe); null when the module
// cannot be found or lacks its entry point, with one located error line on
// the first failure.
const RegistrationEngine* registration_engine();

}  // namespace TavoAlgorithm::TavoRegistration

#include "EngineLoader.h"

#include <dlfcn.h>

#include <mutex>
#include <string>
#include <vector>

#include "geometry/ConsoleLines.h"

namespace TavoAlgorithm::TavoRegistration {

namespace {

using EntryPoint = const RegistrationEngine* (*)();

// Folder of the object (library or program) that holds this code, with a
// trailing slash; empty when it cannot be told.
std::string own_folder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&registration_engine), &info) == 0 || info.dli_fname == nullptr)
    return {};
  const std::string path = info.dli_fname;
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const RegistrationEngine* load() {
  std::string reason;
  // Beside this code first, so that an installed library finds its own
  // module; then the dynamic linker's search path.
  std::vector<std::string> candidates;
  if (const std::string folder = own_folder(); !folder.empty()) candidates.push_back(folder + kEngineModule);
  candidates.emplace_back(kEngineModule);
  for (const std::string& candidate : candidates) {
    void* handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      const char* err = dlerror();
      reason = err != nullptr ? err : candidate;
      continue;
    }
    const auto entry = reinterpret_cast<EntryPoint>(dlsym(handle, "tavo_registration_engine"));
    if (entry != nullptr) return entry();
    reason = std::string("no entry point in ") + candidate;
    dlclose(handle);
  }
  TAVO_PLATFORM_ERROR("registration engine not loaded: " + reason);
  return nullptr;
}

}  // namespace

const RegistrationEngine* registration_engine() {
  // The module stays loaded for the life of the process.
  static std::once_flag once;
  static const RegistrationEngine* engine = nullptr;
  std::call_once(once, [] { engine = load(); });
  return engine;
}

}  // namespace TavoAlgorithm::TavoRegistration

#include "EngineLoader.h"

#include <dlfcn.h>
#include <link.h>

#include <cstddef>
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

// The folders the dynamic linker searches for the object that holds this
// code (its RUNPATH, LD_LIBRARY_PATH, the system folders), each with a
// trailing slash. Asked for explicitly because dlopen judges the search path
// by its caller, and an interposed dlopen (the sanitizers') is another caller.
std::vector<std::string> linker_folders() {
  std::vector<std::string> out;
  Dl_info info{};
  void* self = nullptr;
  if (dladdr(reinterpret_cast<const void*>(&registration_engine), &info) != 0 && info.dli_fname != nullptr)
    self = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (self == nullptr) self = dlopen(nullptr, RTLD_LAZY);  // this code is in the program itself
  if (self == nullptr) return out;
  Dl_serinfo size{};
  if (dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
    std::vector<std::max_align_t> buffer((size.dls_size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    auto* paths = reinterpret_cast<Dl_serinfo*>(buffer.data());
    *paths = size;
    if (dlinfo(self, RTLD_DI_SERINFO, paths) == 0)
      for (unsigned k = 0; k < paths->dls_cnt; ++k)
        if (paths->dls_serpath[k].dls_name != nullptr && paths->dls_serpath[k].dls_name[0] != '\0')
          out.push_back(std::string(paths->dls_serpath[k].dls_name) + "/");
  }
  dlclose(self);
  return out;
}

const RegistrationEngine* load() {
  std::string reason;
  // Beside this code first, so that an installed library finds its own
  // module; then the dynamic linker's search path.
  std::vector<std::string> candidates;
  if (const std::string folder = own_folder(); !folder.empty()) candidates.push_back(folder + kEngineModule);
  for (const std::string& folder : linker_folders()) candidates.push_back(folder + kEngineModule);
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

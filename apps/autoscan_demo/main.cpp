// autoscan_demo: runs one of the library's view planners end to end and
// reports how the scan coverage grows view by view.
//   autoscan_demo --rig plane mesh.ply [--out DIR]
//   autoscan_demo --rig robot [mesh.ply] [--out DIR]
// Each rig is one source file that registers itself (see rig.h).
#include <algorithm>
#include <iostream>

#include "ProgramVersion.h"
#include "rig.h"

namespace autoscan_demo {
namespace {

// The rig that runs without --rig.
constexpr const char* kDefaultRig = "dental";

std::vector<Rig (*)()>& makers() {
  static std::vector<Rig (*)()> list;  // built on first use, before any registration reads it
  return list;
}

}  // namespace

RigRegistration::RigRegistration(Rig (*make)()) { makers().push_back(make); }

std::vector<Rig> registered_rigs() {
  std::vector<Rig> rigs;
  for (auto make : makers()) rigs.push_back(make());
  std::sort(rigs.begin(), rigs.end(), [](const Rig& a, const Rig& b) { return a.name < b.name; });
  return rigs;
}

}  // namespace autoscan_demo

namespace {

// The value of the last --rig on the command line (as "--rig NAME" or
// "--rig=NAME"), else `fallback`; the parser checks it properly later.
std::string rig_asked(int argc, char** argv, const char* fallback) {
  std::string rig = fallback;
  const std::string flag = "--rig", withValue = "--rig=";
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == flag && i + 1 < argc)
      rig = argv[++i];
    else if (arg.rfind(withValue, 0) == 0)
      rig = arg.substr(withValue.size());
  }
  return rig;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace autoscan_demo;
  const std::vector<Rig> rigs = registered_rigs();

  CLI::App app{"Auto-scan view planning demo: plans views over a model and reports the coverage per view."};
  app.set_version_flag("--version", TavoAlgorithm::apps::version_line("autoscan_demo"));
  CommonOptions common;
  std::string rigName = kDefaultRig;
  std::string names;
  for (const Rig& r : rigs) names += (names.empty() ? "" : ", ") + r.name;
  app.add_option("--rig", rigName, "scanner set-up (" + names + ")")->capture_default_str();
  app.add_option("--out", common.outDir, "output folder")->capture_default_str();
  app.add_option("inputs", common.inputs, "input files (see the rig)");
  // Rigs may share option names (--scale, --max-views): CLI11 gives an
  // option to the first group that has it, so the rig asked for comes first.
  const std::string asked = rig_asked(argc, argv, kDefaultRig);
  std::vector<CLI::Option_group*> groups(rigs.size(), nullptr);
  for (int pass = 0; pass < 2; ++pass)
    for (std::size_t i = 0; i < rigs.size(); ++i)
      if ((rigs[i].name == asked) == (pass == 0)) {
        groups[i] = app.add_option_group(rigs[i].name, rigs[i].description);
        rigs[i].add_options(*groups[i]);
      }
  CLI11_PARSE(app, argc, argv);

  for (std::size_t i = 0; i < rigs.size(); ++i)
    if (rigs[i].name != rigName && groups[i]->count_all() > 0) {
      std::cerr << "autoscan_demo: options of rig " << rigs[i].name << " given with --rig " << rigName << "\n";
      return 2;
    }
  for (const Rig& r : rigs)
    if (r.name == rigName) return r.run(common);
  std::cerr << "autoscan_demo: rig " << rigName << " is not part of this build (rigs: " << names << ")\n";
  return 2;
}

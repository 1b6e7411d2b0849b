#pragma once
// A rig of the auto-scan demo: one scanner set-up with its planner. Each rig
// lives in its own source file apps/autoscan_demo/rig_<name>.cpp, which the
// build picks up by that name, and registers itself there with
//   static const autoscan_demo::RigRegistration kRig(make_my_rig);
// so adding a rig touches no other file. main parses the command line, picks
// the rig named by --rig and runs it.
#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace autoscan_demo {

// Options every rig shares.
struct CommonOptions {
  std::string outDir = "autoscan_out";  // --out: created when needed
  std::vector<std::string> inputs;      // positional files, rig-specific meaning
};

struct Rig {
  std::string name;         // value of --rig
  std::string description;  // one line for --help
  // Adds the rig's own options to its group of the command line.
  std::function<void(CLI::Option_group&)> add_options;
  // Runs after parsing; returns the exit code.
  std::function<int(const CommonOptions&)> run;
};

// Adds the rig that `make` builds to the demo's list. Meant for one static
// object per rig file; the rig files are compiled into the program itself
// (a static library would let the linker drop them).
struct RigRegistration {
  explicit RigRegistration(Rig (*make)());
};

// Every registered rig, sorted by name (static construction has no order
// across files).
std::vector<Rig> registered_rigs();

}  // namespace autoscan_demo

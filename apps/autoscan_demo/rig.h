#pragma once
// A rig of the auto-scan demo: one scanner set-up with its planner. Each rig
// lives in its own source file and is listed once in main.cpp; main parses
// the command line, picks the rig named by --rig and runs it.
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

// Plane scanner over a finished model (rig_plane.cpp).
Rig plane_rig();

}  // namespace autoscan_demo

#pragma once
// Command-line pieces shared by the programs: CLI11 validators that take a
// number only as a whole decimal token that stays finite and within its range
// once converted to the library's own type, and the checks that an output
// file or folder can be written before any work starts.
#include <initializer_list>
#include <string>

#include <CLI/CLI.hpp>

namespace TavoAlgorithm::apps {

// A float option: a whole decimal token (no "inf", "nan", hex or trailing
// characters) whose value as a float lies in [lo, hi]; `unit` is named in
// the message. Rewrites the token in canonical form, so CLI11 converts the
// value that was checked.
CLI::Validator float_in(float lo, float hi, const std::string& unit);
// A float option that is any positive float (the smallest normal one and up).
CLI::Validator positive_float(const std::string& unit);
// An integer option: a whole decimal token in [lo, hi] (no "0x", no octal
// reading of leading zeros, nothing that wraps on conversion).
CLI::Validator int_in(long long lo, long long hi);

// Adds --version (the program's version_line, ProgramVersion.h) and parses
// the command line; returns -1 to go on, else the exit code: 0 after --help
// or --version, 2 for a bad command line (CLI11's message on standard error).
int parse_command_line(CLI::App& app, int argc, char** argv);

// Empty when `path` can be written as a file now: its folder exists and can
// be written, it is no folder itself, and its extension is one of
// `extensions` (lower case, without the dot; any when empty). Otherwise why
// not, as a sentence naming the path.
std::string output_file_problem(const std::string& path, std::initializer_list<const char*> extensions = {});
// Empty when `dir` is (after creating it if needed) a folder that holds a
// file written there: a probe file is written and removed. Otherwise why not.
std::string output_folder_problem(const std::string& dir);

// A number for the console: four significant digits.
std::string number(double v);

// The program's own error and warning lines, on standard error.
void report_error(const std::string& program, const std::string& message);
void report_warning(const std::string& program, const std::string& message);

}  // namespace TavoAlgorithm::apps

#include "AppOptions.h"

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <iostream>
#include <sstream>
#include <system_error>

#include "geometry/InputFile.h"
#include "ProgramVersion.h"

namespace TavoAlgorithm::apps {

namespace fs = std::filesystem;

namespace {
std::string text_of(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

std::string lower_extension(const std::string& path) {
  std::string ext = fs::path(path).extension().string();
  if (!ext.empty()) ext.erase(0, 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

std::string range_text(const std::string& lo, const std::string& hi, const std::string& unit) {
  return "from " + lo + " to " + hi + (unit.empty() ? "" : " " + unit);
}


// `what`: "number from 1 to 2 m", "positive number (mm)".
CLI::Validator float_validator(float lo, float hi, const std::string& what) {
  return CLI::Validator(
      [lo, hi, what](std::string& token) -> std::string {
        double d = 0;
        if (!parse_double_token(token, d) || !std::isfinite(d)) return token + " is not a number";
        const float f = static_cast<float>(d);
        // Checked after the conversion: 1e-300 is positive as a double and 0 as a float.
        if (!(f >= lo && f <= hi))
          return token + " is not a " + what + (f == 0.f && d != 0.0 ? " (as a float it is 0)" : "");
        std::ostringstream canonical;
        canonical.precision(9);  // enough to give the same float back
        canonical << f;
        token = canonical.str();
        return {};
      },
      what);
}

}  // namespace

CLI::Validator float_in(float lo, float hi, const std::string& unit) {
  const std::string range = range_text(text_of(lo), text_of(hi), unit);
  return float_validator(lo, hi, "number " + range);
}

CLI::Validator positive_float(const std::string& unit) {
  return float_validator(std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                         "positive number of " + unit);
}

CLI::Validator int_in(long long lo, long long hi) {
  const std::string range = range_text(std::to_string(lo), std::to_string(hi), "");
  return CLI::Validator(
      [lo, hi, range](std::string& token) -> std::string {
        long long v = 0;
        if (!parse_integer_token(token, v)) return token + " is not a whole number";
        if (v < lo || v > hi) return token + " is not a whole number " + range;
        token = std::to_string(v);
        return {};
      },
      "whole number " + range);
}

int parse_command_line(CLI::App& app, int argc, char** argv) {
  app.set_version_flag("--version", version_line(app.get_name()));
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  return -1;
}

std::string output_file_problem(const std::string& path, std::initializer_list<const char*> extensions) {
  if (path.empty()) return "no output file given";
  const std::string ext = lower_extension(path);
  if (extensions.size() > 0) {
    bool known = false;
    std::string list;
    for (const char* e : extensions) {
      known = known || ext == e;
      list += (list.empty() ? "." : ", .") + std::string(e);
    }
    if (!known) return "cannot write " + path + ": the file name must end in " + list;
  }
  std::error_code ec;
  if (fs::is_directory(path, ec)) return "cannot write " + path + ": it is a folder";
  const fs::path parent = fs::path(path).parent_path().empty() ? fs::path(".") : fs::path(path).parent_path();
  if (!fs::is_directory(parent, ec)) return "cannot write " + path + ": no folder " + parent.string();
  if (::access(parent.c_str(), W_OK | X_OK) != 0) return "cannot write " + path + ": folder " + parent.string() + " is not writable";
  if (fs::exists(path, ec) && ::access(path.c_str(), W_OK) != 0) return "cannot write " + path + ": the file is read-only";
  return {};
}

std::string output_folder_problem(const std::string& dir) {
  if (dir.empty()) return "no output folder given";
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (!fs::is_directory(dir, ec)) return "cannot write into " + dir + ": not a folder that can be made";
  const fs::path probe = fs::path(dir) / (".tavo_write_probe_" + std::to_string(::getpid()));
  bool written;
  {
    std::ofstream out(probe, std::ios::binary);
    written = static_cast<bool>(out << "probe" << std::flush);
  }
  fs::remove(probe, ec);
  if (!written) return "cannot write into " + dir + ": the folder does not take files";
  return {};
}

std::string number(double v) {
  std::ostringstream s;
  s.precision(4);
  s << v;
  return s.str();
}

void report_error(const std::string& program, const std::string& message) {
  std::cerr << program << ": " << message << std::endl;
}

void report_warning(const std::string& program, const std::string& message) {
  std::cerr << program << ": warning: " << message << std::endl;
}

}  // namespace TavoAlgorithm::apps

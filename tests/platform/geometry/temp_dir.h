#pragma once
// A scratch folder per test process (ctest runs cases side by side), removed
// with everything in it.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace TavoAlgorithm::test {

struct TempDir {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("tavo_geometry_" + std::to_string(::getpid()));
  TempDir() { std::filesystem::create_directories(path); }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name) const { return (path / name).string(); }
  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path / name, std::ios::binary) << bytes;
    return file(name);
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};

}  // namespace TavoAlgorithm::test

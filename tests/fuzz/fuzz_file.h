#pragma once
// The readers take paths: each fuzz input is written to a file of this
// process (in memory where /dev/shm exists) and read back through the real
// entry point, the file checks included.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

namespace TavoAlgorithm::fuzz {

// A folder of this process, made on first use and removed at exit.
inline const std::filesystem::path& scratch_dir() {
  struct Scratch {
    std::filesystem::path dir;
    Scratch() {
      std::error_code ec;
      const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                             ? std::filesystem::path("/dev/shm")
                                             : std::filesystem::temp_directory_path();
      dir = base / ("tavo_fuzz_" + std::to_string(::getpid()));
      std::filesystem::create_directories(dir);
    }
    ~Scratch() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  };
  static const Scratch scratch;
  return scratch.dir;
}

inline std::string write_input(const std::string& name, const std::uint8_t* data, std::size_t size) {
  const std::string path = (scratch_dir() / name).string();
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                 static_cast<std::streamsize>(size));
  return path;
}

// The readers explain every refusal on stdout; millions of lines only slow
// the run down.
inline void silence_console() { std::cout.setstate(std::ios::failbit); }

}  // namespace TavoAlgorithm::fuzz

#pragma once
// A test fixture with a trace folder of its own: per process (ctest runs
// cases side by side), emptied before and removed after each case, and the
// global trace configuration reset around it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "common/trace/Trace.h"

class TraceFolderTest : public testing::Test {
 protected:
  void SetUp() override {
    m_dir = std::filesystem::temp_directory_path() / ("tavo_trace_" + std::to_string(::getpid()));
    std::filesystem::remove_all(m_dir);
    std::filesystem::create_directories(m_dir);
    TavoAlgorithm::gDAConfig.reset();
    TavoAlgorithm::gDAConfig.set_store_path(m_dir.string());
  }
  void TearDown() override {
    TavoAlgorithm::gDAConfig.reset();
    TavoAlgorithm::release_replay_frames();
    std::filesystem::remove_all(m_dir);
  }
  std::filesystem::path m_dir;
};

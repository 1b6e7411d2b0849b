#pragma once
// Process-wide switches of the trace facility. The application sets them
// before the traced calls run; the flags are atomic so that flipping one while
// calls run is safe, though a call in progress may see either value.
//
// Modes: enable clear -> nothing is traced. Enabled with `stream` set and a
// shared stream present -> every traced call is appended to that stream.
// Enabled with `record` set -> one ".tb" file per call under the store path.
// Enabled with both clear -> replay: traced calls read their inputs back.
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "geometry/ArchiveStream.h"

namespace TavoAlgorithm {

// Version texts written into every trace file header.
extern const char* const gCommonVersionStr;
extern const char* const gGitCommitSHA1;

class DataArchiveConfig {
 public:
  std::atomic<bool> enable{false};
  std::atomic<bool> record{false};
  std::atomic<bool> stream{false};
  std::atomic<bool> selectionFilter{false};
  std::atomic<bool> timeStamp{false};
  std::atomic<bool> threadId{false};
  std::atomic<bool> encodeNames{false};

  void set_store_path(const std::string& path);
  std::string get_store_path() const;
  void select(const std::string& operation);
  void unselect_all();
  bool is_selected(const std::string& operation) const;

  // Reversible, file-system-safe name: the bytes in hexadecimal.
  static std::string encode_file_name(const std::string& name);
  // Local time as "YYYYMMDD_HHMMSS_mmm".
  static std::string get_current_ts_string();

  // Shared stream of stream mode; traced calls write to it under lock().
  void set_shared_stream(std::shared_ptr<WriteAble> out);
  std::shared_ptr<WriteAble> shared_stream() const;
  std::mutex& lock() { return m_streamLock; }

  // Back to the defaults: everything off, no path, no selection, no stream.
  void reset();

 private:
  mutable std::mutex m_mutex;
  std::string m_storePath = ".";
  std::set<std::string> m_selected;
  std::shared_ptr<WriteAble> m_stream;
  std::mutex m_streamLock;
};

class DebugDataSetConfig {
 public:
  // Calls traced from inside the library get the file prefix "__inner_".
  std::atomic<bool> inner{false};
};

extern DataArchiveConfig gDAConfig;
extern DebugDataSetConfig gDebugDS;

// First regular file in `dir` (in name order) whose name starts with `prefix`;
// empty when there is none or the folder cannot be read.
std::string get_file_in_dir_with_prefix(const std::string& dir, const std::string& prefix);

}  // namespace TavoAlgorithm

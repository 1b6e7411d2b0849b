#include "geometry/ArchiveConfig.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <vector>

namespace TavoAlgorithm {

const char* const gCommonVersionStr = "TavoGeometry 0.1.0";
const char* const gGitCommitSHA1 = "unversioned";

DataArchiveConfig gDAConfig;
DebugDataSetConfig gDebugDS;

void DataArchiveConfig::set_store_path(const std::string& path) {
  std::lock_guard<std::mutex> g(m_mutex);
  m_storePath = path;
}

std::string DataArchiveConfig::get_store_path() const {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_storePath;
}

void DataArchiveConfig::select(const std::string& operation) {
  std::lock_guard<std::mutex> g(m_mutex);
  m_selected.insert(operation);
}

void DataArchiveConfig::unselect_all() {
  std::lock_guard<std::mutex> g(m_mutex);
  m_selected.clear();
}

bool DataArchiveConfig::is_selected(const std::string& operation) const {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_selected.count(operation) != 0;
}

std::string DataArchiveConfig::encode_file_name(const std::string& name) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(name.size() * 2);
  for (unsigned char c : name) {
    out.push_back(hex[c >> 4]);
    out.push_back(hex[c & 15]);
  }
  return out;
}

std::string DataArchiveConfig::get_current_ts_string() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&t, &tm);
  std::ostringstream s;
  s << std::put_time(&tm, "%Y%m%d_%H%M%S") << "_" << std::setw(3) << std::setfill('0') << ms;
  return s.str();
}

void DataArchiveConfig::set_shared_stream(std::shared_ptr<WriteAble> out) {
  std::lock_guard<std::mutex> g(m_mutex);
  m_stream = std::move(out);
}

std::shared_ptr<WriteAble> DataArchiveConfig::shared_stream() const {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_stream;
}

void DataArchiveConfig::reset() {
  for (auto* f : {&enable, &record, &stream, &selectionFilter, &timeStamp, &threadId, &encodeNames})
    f->store(false);
  std::lock_guard<std::mutex> g(m_mutex);
  m_storePath = ".";
  m_selected.clear();
  m_stream.reset();
}

std::string get_file_in_dir_with_prefix(const std::string& dir, const std::string& prefix) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string name = it->path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  if (names.empty()) return {};
  std::sort(names.begin(), names.end());
  return (fs::path(dir) / names.front()).string();
}

}  // namespace TavoAlgorithm

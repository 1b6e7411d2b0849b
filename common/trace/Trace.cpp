#include "common/trace/Trace.h"

namespace TavoAlgorithm::trace_detail {

std::string record_file_name(const std::string& operation) {
  std::string name = operation;
  if (gDebugDS.inner) name = "__inner_" + name;
  if (gDAConfig.timeStamp) name += "." + DataArchiveConfig::get_current_ts_string();
  if (gDAConfig.threadId) {
    std::ostringstream id;
    id << std::this_thread::get_id();
    name += "." + id.str();
  }
  if (gDAConfig.encodeNames) name = DataArchiveConfig::encode_file_name(name);
  return name + ".tb";
}

std::shared_ptr<ifsCapture> open_replay_file(const std::string& operation) {
  const std::string dir = gDAConfig.get_store_path();
  std::string path = dir + "/" + operation;
  if (gDAConfig.timeStamp || gDAConfig.threadId) {
    const std::string found = get_file_in_dir_with_prefix(dir, operation);
    if (!found.empty()) path = found;
  }
  auto file = std::make_shared<ifsCapture>(path);
  if (!file->is_open()) {
    path += ".tb";
    file = std::make_shared<ifsCapture>(path);
  }
  if (!file->is_open()) {
    TAVO_LOG_ERROR("cannot open testbug file " + path);
    return nullptr;
  }
  console::message("Opened testbug file: " + path);
  return file;
}

}  // namespace TavoAlgorithm::trace_detail

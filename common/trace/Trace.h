#pragma once
// The trace entry of a recorded operation:
//   trace("operation", value1, "key1", value2, "key2", ...);
// Depending on gDAConfig it does nothing, appends the call to the shared
// stream, writes "<store>/<name>.tb", or (replay) reads the recorded values
// back into the arguments, which must then be non-const. Recording never
// changes what the operation does: a file that cannot be written is skipped.
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>

#include "common/trace/ArchiveReader.h"
#include "common/trace/ArchiveWriter.h"
#include "geometry/ArchiveConfig.h"

namespace TavoAlgorithm {

enum class TraceOutcome { Off, Skipped, Streamed, Recorded, Replayed, ReplayFailed };

namespace trace_detail {

inline void collect(ArchiveWriter&) {}
template <typename T, typename... Rest>
void collect(ArchiveWriter& w, const T& value, const char* name, const Rest&... rest) {
  w.add(value, name);
  collect(w, rest...);
}

inline bool collect(ArchiveReader&) { return true; }
template <typename T, typename... Rest>
bool collect(ArchiveReader& r, T& value, const char* name, Rest&... rest) {
  if constexpr (std::is_const_v<T>) {
    console::message(std::string("cannot replay into constant parameter ") + name);
    return false;
  } else {
    r.add(value, name);
    return collect(r, rest...);
  }
}

// "<inner prefix><operation>[.<time>][.<thread>]" encoded if asked, plus ".tb".
std::string record_file_name(const std::string& operation);
// The replay file, or empty (with a message) when none can be opened.
std::shared_ptr<ifsCapture> open_replay_file(const std::string& operation);

}  // namespace trace_detail

template <typename... Args>
TraceOutcome trace(const std::string& operation, Args&&... valuesAndNames) {
  static_assert(sizeof...(Args) % 2 == 0, "trace takes value, name pairs");
  DataArchiveConfig& cfg = gDAConfig;
  if (!cfg.enable) return TraceOutcome::Off;
  if (cfg.stream || cfg.record) {
    if (cfg.selectionFilter && !cfg.is_selected(operation)) return TraceOutcome::Skipped;
    ArchiveWriter writer;
    trace_detail::collect(writer, valuesAndNames...);
    if (cfg.stream) {
      const std::shared_ptr<WriteAble> out = cfg.shared_stream();
      if (!out) return TraceOutcome::Skipped;
      std::lock_guard<std::mutex> g(cfg.lock());
      return writer.write_stream(*out, operation) ? TraceOutcome::Streamed : TraceOutcome::Skipped;
    }
    auto file = std::make_shared<ofsCapture>(cfg.get_store_path() + "/" +
                                             trace_detail::record_file_name(operation));
    if (!file->is_open()) return TraceOutcome::Skipped;
    WriteAble out(file);
    return writer.write_file(out) ? TraceOutcome::Recorded : TraceOutcome::Skipped;
  }
  ArchiveReader reader;
  if (!trace_detail::collect(reader, valuesAndNames...)) return TraceOutcome::ReplayFailed;
  const std::shared_ptr<ifsCapture> file = trace_detail::open_replay_file(operation);
  if (!file) return TraceOutcome::ReplayFailed;
  ReadAble in(file);
  return reader.read_file(in) ? TraceOutcome::Replayed : TraceOutcome::ReplayFailed;
}

}  // namespace TavoAlgorithm

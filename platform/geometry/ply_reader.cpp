#include "ply_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace TavoAlgorithm::ply {

const Property* Element::find(const std::string& prop) const {
  for (const auto& p : properties)
    if (p.name == prop) return &p;
  return nullptr;
}

const Element* File::find(const std::string& element) const {
  for (const auto& e : elements)
    if (e.name == element) return &e;
  return nullptr;
}

namespace {

enum class Format { Ascii, BinaryLE, BinaryBE };

int type_size(const std::string& t) {
  if (t == "char" || t == "uchar" || t == "int8" || t == "uint8") return 1;
  if (t == "short" || t == "ushort" || t == "int16" || t == "uint16") return 2;
  if (t == "int" || t == "uint" || t == "int32" || t == "uint32" || t == "float" ||
      t == "float32")
    return 4;
  if (t == "double" || t == "float64") return 8;
  return 0;
}

bool host_little_endian() {
  const std::uint16_t one = 1;
  unsigned char b;
  std::memcpy(&b, &one, 1);
  return b == 1;
}

template <typename T>
double load(const unsigned char* raw) {
  T v;
  std::memcpy(&v, raw, sizeof(T));
  return static_cast<double>(v);
}

bool read_binary(std::istream& in, const std::string& type, bool swap, double& out) {
  unsigned char raw[8];
  const int n = type_size(type);
  if (!in.read(reinterpret_cast<char*>(raw), n)) return false;
  if (swap)
    for (int i = 0; i < n / 2; ++i) std::swap(raw[i], raw[n - 1 - i]);
  if (type == "char" || type == "int8") out = load<std::int8_t>(raw);
  else if (type == "uchar" || type == "uint8") out = load<std::uint8_t>(raw);
  else if (type == "short" || type == "int16") out = load<std::int16_t>(raw);
  else if (type == "ushort" || type == "uint16") out = load<std::uint16_t>(raw);
  else if (type == "int" || type == "int32") out = load<std::int32_t>(raw);
  else if (type == "uint" || type == "uint32") out = load<std::uint32_t>(raw);
  else if (type == "float" || type == "float32") out = load<float>(raw);
  else out = load<double>(raw);
  return true;
}

class ValueReader {
 public:
  ValueReader(std::istream& in, Format f) : m_in(in), m_format(f), m_swap(needs_swap(f)) {}
  bool next(const std::string& type, double& v) {
    if (m_format != Format::Ascii) return read_binary(m_in, type, m_swap, v);
    // strtod rather than operator>> so that "nan" and "inf" parse as values
    // (and are then rejected by the caller with a clear message).
    if (!(m_in >> m_token)) return false;
    char* end = nullptr;
    v = std::strtod(m_token.c_str(), &end);
    return end != m_token.c_str() && *end == '\0';
  }

 private:
  static bool needs_swap(Format f) {
    return (f == Format::BinaryLE) != host_little_endian() && f != Format::Ascii;
  }
  std::istream& m_in;
  std::string m_token;
  Format m_format;
  bool m_swap;
};

// Entry counts beyond this are taken as a corrupt file, not an allocation.
constexpr double kMaxListLength = 1 << 20;
// A header may claim any count; memory is reserved only up to this.
constexpr std::size_t kMaxReserve = std::size_t{1} << 24;

bool parse_header(std::istream& in, File& file, Format& format, std::string& error) {
  std::string line;
  if (!std::getline(in, line) || line.rfind("ply", 0) != 0) {
    error = "not a ply file";
    return false;
  }
  bool haveFormat = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream ls(line);
    std::string key;
    ls >> key;
    if (key == "end_header") {
      if (!haveFormat) error = "ply header has no format line";
      return haveFormat;
    }
    if (key == "format") {
      std::string f;
      ls >> f;
      if (f == "ascii") format = Format::Ascii;
      else if (f == "binary_little_endian") format = Format::BinaryLE;
      else if (f == "binary_big_endian") format = Format::BinaryBE;
      else {
        error = "unknown ply format " + f;
        return false;
      }
      haveFormat = true;
    } else if (key == "obj_info") {
      std::string k, v;
      ls >> k >> v;
      file.objInfo[k] = v;
    } else if (key == "element") {
      Element e;
      long long count = -1;
      ls >> e.name >> count;
      if (e.name.empty() || count < 0) {
        error = "bad ply element line: " + line;
        return false;
      }
      e.count = static_cast<std::size_t>(count);
      file.elements.push_back(std::move(e));
    } else if (key == "property") {
      if (file.elements.empty()) {
        error = "ply property before any element";
        return false;
      }
      Property p;
      std::string t;
      ls >> t;
      if (t == "list") {
        p.isList = true;
        ls >> p.countType >> p.valueType >> p.name;
        if (type_size(p.countType) == 0) p.name.clear();
      } else {
        p.valueType = t;
        ls >> p.name;
      }
      if (p.name.empty() || type_size(p.valueType) == 0) {
        error = "bad ply property line: " + line;
        return false;
      }
      file.elements.back().properties.push_back(std::move(p));
    }
    // comment and unknown lines are ignored
  }
  error = "ply header ends before end_header";
  return false;
}

bool read_body(std::istream& in, Format format, File& file, std::string& error) {
  ValueReader reader(in, format);
  for (auto& e : file.elements) {
    for (auto& p : e.properties) {
      if (p.isList) p.offsets.assign(1, 0);
      else p.values.reserve(std::min<std::size_t>(e.count, kMaxReserve));
    }
    for (std::size_t i = 0; i < e.count; ++i) {
      for (auto& p : e.properties) {
        double v = 0;
        if (!p.isList) {
          if (!reader.next(p.valueType, v)) {
            error = "ply data ends inside element " + e.name;
            return false;
          }
          p.values.push_back(v);
          continue;
        }
        double len = 0;
        if (!reader.next(p.countType, len) || len < 0 || len > kMaxListLength) {
          error = "ply data ends or is corrupt inside element " + e.name;
          return false;
        }
        for (int k = 0; k < static_cast<int>(len); ++k) {
          if (!reader.next(p.valueType, v)) {
            error = "ply data ends inside element " + e.name;
            return false;
          }
          p.values.push_back(v);
        }
        p.offsets.push_back(p.values.size());
      }
    }
  }
  return true;
}

}  // namespace

bool read(const std::string& path, File& file, std::string& error) {
  file = File();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  Format format = Format::Ascii;
  if (!parse_header(in, file, format, error)) return false;
  return read_body(in, format, file, error);
}

}  // namespace TavoAlgorithm::ply

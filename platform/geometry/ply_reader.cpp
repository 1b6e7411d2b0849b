#include "ply_reader.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cctype>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include "geometry/InputFile.h"

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
enum class Kind { Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32, Float64 };

struct Type {
  Kind kind;
  int size;
  bool integer;
  long long lo, hi;  // integer types
};

// The standard names and their sized aliases.
bool type_of(const std::string& t, Type& out) {
  static const std::pair<const char*, Type> kTypes[] = {
      {"char", {Kind::Int8, 1, true, INT8_MIN, INT8_MAX}},       {"int8", {Kind::Int8, 1, true, INT8_MIN, INT8_MAX}},
      {"uchar", {Kind::UInt8, 1, true, 0, UINT8_MAX}},           {"uint8", {Kind::UInt8, 1, true, 0, UINT8_MAX}},
      {"short", {Kind::Int16, 2, true, INT16_MIN, INT16_MAX}},   {"int16", {Kind::Int16, 2, true, INT16_MIN, INT16_MAX}},
      {"ushort", {Kind::UInt16, 2, true, 0, UINT16_MAX}},        {"uint16", {Kind::UInt16, 2, true, 0, UINT16_MAX}},
      {"int", {Kind::Int32, 4, true, INT32_MIN, INT32_MAX}},     {"int32", {Kind::Int32, 4, true, INT32_MIN, INT32_MAX}},
      {"uint", {Kind::UInt32, 4, true, 0, UINT32_MAX}},          {"uint32", {Kind::UInt32, 4, true, 0, UINT32_MAX}},
      {"float", {Kind::Float32, 4, false, 0, 0}},                {"float32", {Kind::Float32, 4, false, 0, 0}},
      {"double", {Kind::Float64, 8, false, 0, 0}},               {"float64", {Kind::Float64, 8, false, 0, 0}},
  };
  for (const auto& [name, type] : kTypes)
    if (t == name) {
      out = type;
      return true;
    }
  return false;
}

// Bounds on what a header can need: no standard header line comes near the
// first, and a header of a hundred elements with a dozen properties each fits
// many times in the second.
constexpr std::size_t kMaxHeaderLine = 4096;
constexpr std::size_t kMaxHeaderBytes = std::size_t{1} << 20;
// Longer ascii tokens are no number any writer produces.
constexpr std::size_t kMaxToken = 128;
// Entry counts beyond this are taken as a corrupt file, not an allocation.
constexpr long long kMaxListLength = 1 << 20;

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

double decode(Kind k, const unsigned char* raw) {
  switch (k) {
    case Kind::Int8: return load<std::int8_t>(raw);
    case Kind::UInt8: return load<std::uint8_t>(raw);
    case Kind::Int16: return load<std::int16_t>(raw);
    case Kind::UInt16: return load<std::uint16_t>(raw);
    case Kind::Int32: return load<std::int32_t>(raw);
    case Kind::UInt32: return load<std::uint32_t>(raw);
    case Kind::Float32: return load<float>(raw);
    case Kind::Float64: break;
  }
  return load<double>(raw);
}

enum class Read { Ok, End, Bad };

class ValueReader {
 public:
  ValueReader(std::istream& in, Format f)
      : m_in(in), m_format(f), m_swap(f != Format::Ascii && (f == Format::BinaryLE) != host_little_endian()) {}

  Read next(const Type& type, double& v) {
    if (m_format != Format::Ascii) {
      unsigned char raw[8];
      if (!m_in.read(reinterpret_cast<char*>(raw), type.size)) return Read::End;
      if (m_swap) std::reverse(raw, raw + type.size);
      v = decode(type.kind, raw);
      return Read::Ok;
    }
    const Read r = token();
    if (r != Read::Ok) return r;
    if (type.integer) {
      long long x = 0;
      if (!parse_integer_token(m_token, type.lo, type.hi, x)) return Read::Bad;
      v = static_cast<double>(x);
      return Read::Ok;
    }
    if (!parse_double_token(m_token, v)) return Read::Bad;
    // A finite value beyond float range would turn into an infinity unseen.
    if (type.kind == Kind::Float32 && std::isfinite(v) && std::abs(v) > FLT_MAX) return Read::Bad;
    return Read::Ok;
  }
  const std::string& last_token() const { return m_token; }

 private:
  // The next whitespace-separated token, at most kMaxToken bytes.
  Read token() {
    m_token.clear();
    std::streambuf* buf = m_in.rdbuf();
    using traits = std::char_traits<char>;
    traits::int_type c = buf->sgetc();
    while (!traits::eq_int_type(c, traits::eof()) && std::isspace(static_cast<unsigned char>(traits::to_char_type(c))))
      c = buf->snextc();
    while (!traits::eq_int_type(c, traits::eof()) &&
           !std::isspace(static_cast<unsigned char>(traits::to_char_type(c)))) {
      if (m_token.size() >= kMaxToken) return Read::Bad;
      m_token.push_back(traits::to_char_type(c));
      c = buf->snextc();
    }
    return m_token.empty() ? Read::End : Read::Ok;
  }

  std::istream& m_in;
  Format m_format;
  bool m_swap;
  std::string m_token;
};

std::vector<std::string> split(const std::string& line) {
  std::istringstream ls(line);
  std::vector<std::string> words;
  for (std::string w; ls >> w;) words.push_back(w);
  return words;
}

bool parse_header(std::istream& in, File& file, Format& format, std::string& error) {
  std::string line;
  std::size_t headerBytes = 0;
  bool first = true, haveFormat = false;
  for (;;) {
    const LineRead r = read_bounded_line(in, kMaxHeaderLine, line);
    if (r == LineRead::End) break;
    headerBytes += line.size() + 1;
    if (r == LineRead::TooLong || headerBytes > kMaxHeaderBytes) {
      error = first ? "not a ply file" : "ply header line or header too long";
      return false;
    }
    const std::vector<std::string> w = split(line);
    if (first) {
      if (w.size() != 1 || w[0] != "ply") {
        error = "not a ply file";
        return false;
      }
      first = false;
      continue;
    }
    if (w.empty()) continue;
    const std::string& key = w[0];
    if (key == "end_header") {
      if (!haveFormat) error = "ply header has no format line";
      return haveFormat;
    }
    if (key == "format") {
      const std::string f = w.size() > 1 ? w[1] : std::string();
      if (f == "ascii") format = Format::Ascii;
      else if (f == "binary_little_endian") format = Format::BinaryLE;
      else if (f == "binary_big_endian") format = Format::BinaryBE;
      else {
        error = "unknown ply format " + f;
        return false;
      }
      haveFormat = true;
    } else if (key == "obj_info") {
      if (w.size() >= 2) file.objInfo[w[1]] = w.size() >= 3 ? w[2] : std::string();
    } else if (key == "element") {
      long long count = -1;
      if (w.size() != 3 || !parse_integer_token(w[2], 0, std::numeric_limits<long long>::max(), count)) {
        error = "bad ply element line: " + line;
        return false;
      }
      Element e;
      e.name = w[1];
      e.count = static_cast<std::size_t>(count);
      file.elements.push_back(std::move(e));
    } else if (key == "property") {
      if (file.elements.empty()) {
        error = "ply property before any element";
        return false;
      }
      Property p;
      Type count, value;
      bool ok;
      if (w.size() >= 2 && w[1] == "list") {
        p.isList = true;
        ok = w.size() == 5 && type_of(w[2], count) && count.integer && type_of(w[3], value);
        if (ok) p.countType = w[2], p.valueType = w[3], p.name = w[4];
      } else {
        ok = w.size() == 3 && type_of(w[1], value);
        if (ok) p.valueType = w[1], p.name = w[2];
      }
      if (!ok) {
        error = "bad ply property line: " + line;
        return false;
      }
      file.elements.back().properties.push_back(std::move(p));
    }
    // comment and unknown lines are ignored
  }
  error = first ? "not a ply file" : "ply header ends before end_header";
  return false;
}

// Least bytes an element can take: binary, its scalars and list counts;
// ascii, a character and a separator per scalar or count.
std::uint64_t min_element_bytes(const Element& e, Format format) {
  std::uint64_t bytes = 0;
  for (const auto& p : e.properties) {
    Type t;
    type_of(p.isList ? p.countType : p.valueType, t);
    bytes += format == Format::Ascii ? 2 : static_cast<std::uint64_t>(t.size);
  }
  return bytes;
}

bool counts_fit(const File& file, Format format, std::uint64_t remaining, std::string& error) {
  // The last ascii value needs no separator.
  std::uint64_t budget = format == Format::Ascii ? remaining + 1 : remaining;
  for (const auto& e : file.elements) {
    const std::uint64_t per = min_element_bytes(e, format);
    if (per == 0) continue;
    if (e.count > budget / per) {
      error = "ply element " + e.name + " claims " + std::to_string(e.count) + " entries, more than the file holds";
      return false;
    }
    budget -= e.count * per;
  }
  return true;
}

std::string where(const Element& e, const Property& p, std::size_t i) {
  return "property " + p.name + " of " + e.name + " " + std::to_string(i);
}

bool read_body(std::istream& in, Format format, File& file, std::string& error) {
  ValueReader reader(in, format);
  auto failed = [&](Read r, const Element& e, const Property& p, std::size_t i, const char* what) {
    if (r == Read::End) error = "ply data ends inside element " + e.name;
    else if (format == Format::Ascii) error = "bad " + std::string(what) + " '" + reader.last_token() + "' for " + where(e, p, i);
    else error = "bad " + std::string(what) + " for " + where(e, p, i);
    return false;
  };
  for (auto& e : file.elements) {
    // A property-less element holds no bytes, whatever its count.
    if (e.properties.empty()) continue;
    std::vector<Type> counts(e.properties.size()), values(e.properties.size());
    for (std::size_t k = 0; k < e.properties.size(); ++k) {
      Property& p = e.properties[k];
      if (p.isList) type_of(p.countType, counts[k]);
      type_of(p.valueType, values[k]);
      if (p.isList) p.offsets.assign(1, 0);
      // Bounded by the file: counts_fit has checked the element count.
      else p.values.reserve(e.count);
    }
    for (std::size_t i = 0; i < e.count; ++i) {
      for (std::size_t k = 0; k < e.properties.size(); ++k) {
        Property& p = e.properties[k];
        double v = 0;
        if (!p.isList) {
          if (const Read r = reader.next(values[k], v); r != Read::Ok) return failed(r, e, p, i, "value");
          p.values.push_back(v);
          continue;
        }
        double len = 0;
        if (const Read r = reader.next(counts[k], len); r != Read::Ok) return failed(r, e, p, i, "list count");
        if (len < 0 || len > kMaxListLength) {
          error = "list count " + std::to_string(static_cast<long long>(len)) + " out of range for " + where(e, p, i);
          return false;
        }
        for (long long n = static_cast<long long>(len); n > 0; --n) {
          if (const Read r = reader.next(values[k], v); r != Read::Ok) return failed(r, e, p, i, "list entry");
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
  std::ifstream in;
  std::uint64_t size = 0;
  if (!open_input_file(path, kMaxFileBytes, in, error, &size)) return false;
  Format format = Format::Ascii;
  File out;
  if (!parse_header(in, out, format, error)) return false;
  const std::streamoff body = in.tellg();
  if (body < 0 || !counts_fit(out, format, size - static_cast<std::uint64_t>(body), error)) {
    if (body < 0) error = "cannot read the file";
    return false;
  }
  if (!read_body(in, format, out, error)) return false;
  file = std::move(out);
  return true;
}

}  // namespace TavoAlgorithm::ply

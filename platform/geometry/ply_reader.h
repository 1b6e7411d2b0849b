#pragma once
// Minimal PLY reader for the scan and mesh files: ascii and binary (either
// byte order), scalar and list properties of every standard type, values held
// as doubles.
//
// Every value is what its property type allows: an ascii token of an integer
// type is a whole integer within the type's range, a float token a whole
// decimal number (or nan / inf) within the type's range; list counts have an
// integer type. The element counts of the header must fit in the bytes that
// follow it before anything is reserved. Floating-point values may still be
// NaN or infinite (the callers refuse them where they are coordinates), and
// values used as indices must be checked with is_index_value.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace TavoAlgorithm::ply {

struct Property {
  std::string name;
  bool isList = false;
  std::string countType;  // list only
  std::string valueType;
  std::vector<double> values;         // scalars: one per element; lists: all entries
  std::vector<std::size_t> offsets;   // lists: element i spans [offsets[i], offsets[i+1])
};

struct Element {
  std::string name;
  std::size_t count = 0;
  std::vector<Property> properties;
  const Property* find(const std::string& prop) const;
};

struct File {
  std::vector<Element> elements;
  std::map<std::string, std::string> objInfo;  // "obj_info <key> <value>" lines
  const Element* find(const std::string& element) const;
};

// Largest file taken as a PLY file; far beyond any scan or mesh this library
// is handed, and a bound on what a corrupt header can make it read.
inline constexpr std::uint64_t kMaxFileBytes = std::uint64_t{16} << 30;

// Reads the whole file; on failure returns false and sets `error` to the
// reason, without the path.
bool read(const std::string& path, File& file, std::string& error);

}  // namespace TavoAlgorithm::ply

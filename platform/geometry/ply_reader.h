#pragma once
// Minimal PLY reader for the scan files: ascii and binary (either byte order),
// scalar and list properties of every standard type, values held as doubles.
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

// Reads the whole file; on failure returns false and sets `error`.
bool read(const std::string& path, File& file, std::string& error);

}  // namespace TavoAlgorithm::ply

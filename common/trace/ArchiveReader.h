#pragma once
// ArchiveReader: reads a trace back into the caller's objects, in the order
// they were added. The file's parameter count and names must match; files of
// the old layout (int32 count, names not inverted) are accepted too, and the
// version lines are optional. Every failure prints its message and returns
// false; objects are only written by a parameter's own successful read.
#include <memory>
#include <string>
#include <vector>

#include "common/trace/ArchiveTypes.h"

namespace TavoAlgorithm {

class ArchiveReader {
 public:
  class Interface {
   public:
    virtual ~Interface() = default;
    virtual bool read(ReadAble& in, const ArchiveOptions& options) = 0;
    virtual std::string name() const = 0;
    virtual std::string tag() const = 0;
  };

  template <typename T>
  class helper : public Interface {
   public:
    helper(T& value, std::string name) : m_value(&value), m_name(std::move(name)) {}
    bool read(ReadAble& in, const ArchiveOptions& o) override { return InterFace<T>::read(in, *m_value, o); }
    std::string name() const override { return m_name; }
    std::string tag() const override { return InterFace<T>::tag(); }

   private:
    T* m_value;
    std::string m_name;
  };

  template <typename T>
  void add(T& value, std::string name) {
    m_params.push_back(std::make_shared<helper<T>>(value, std::move(name)));
  }
  void set_option(const std::string& key, const std::string& value) { m_options[key] = value; }

  bool read_file(ReadAble& in);

  const std::string& version() const { return m_version; }
  const std::string& commit() const { return m_commit; }

 private:
  bool check_header(ReadAble& in, bool oldLayout);
  void read_version_line(ReadAble& in, const std::string& prefix, std::string& out);

  std::vector<std::shared_ptr<Interface>> m_params;
  ArchiveOptions m_options;
  std::string m_version;
  std::string m_commit;
};

}  // namespace TavoAlgorithm

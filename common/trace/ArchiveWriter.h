#pragma once
// ArchiveWriter: the parameters of one recorded call, in call order. Each
// helper<T> borrows the caller's value (which must outlive the writer).
//
// File layout (little-endian; a string is an int32 length then its bytes):
//   "TESTBUG VERSION: " + version, "LAST COMMIT: " + commit,
//   uint64 parameter count, every name byte inverted (no lengths),
//   the parameters' encodings (ArchiveTypes.h),
//   trailer: int32 count + scrambled type tags, int32 count + scrambled names,
//   uint64 offset of the trailer, uint64 file length.
#include <memory>
#include <string>
#include <vector>

#include "common/trace/ArchiveTypes.h"

namespace TavoAlgorithm {

class ArchiveWriter {
 public:
  class Interface {
   public:
    virtual ~Interface() = default;
    virtual bool write(WriteAble& out) const = 0;
    // Encoding of the shared-stream mode (here the same bytes as the file's).
    virtual bool write_alt(WriteAble& out) const = 0;
    virtual std::string name() const = 0;
    virtual std::string tag() const = 0;
  };

  template <typename T>
  class helper : public Interface {
   public:
    helper(const T& value, std::string name) : m_value(&value), m_name(std::move(name)) {}
    bool write(WriteAble& out) const override { return InterFace<T>::write(out, *m_value); }
    bool write_alt(WriteAble& out) const override { return InterFace<T>::write(out, *m_value); }
    std::string name() const override { return m_name; }
    std::string tag() const override { return InterFace<T>::tag(); }

   private:
    const T* m_value;
    std::string m_name;
  };

  template <typename T>
  void add(const T& value, std::string name) {
    m_params.push_back(std::make_shared<helper<T>>(value, std::move(name)));
  }
  const std::vector<std::shared_ptr<Interface>>& params() const { return m_params; }

  // Header, then (if it succeeded) the data, then (if that succeeded) the trailer.
  bool write_file(WriteAble& out) const;
  // Stream mode: the operation name, the header and the data; no trailer.
  bool write_stream(WriteAble& out, const std::string& operation) const;

 private:
  bool write_header(WriteAble& out) const;
  bool write_trailer(WriteAble& out) const;
  std::vector<std::shared_ptr<Interface>> m_params;
};

// The trailer's string scrambling; applying unscramble after scramble gives
// the string back. Strings shorter than 8 bytes are left as they are.
void scramble_trailer_string(std::string& s);
void unscramble_trailer_string(std::string& s);

}  // namespace TavoAlgorithm

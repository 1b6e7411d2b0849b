#pragma once
// Byte streams of the trace archives.
//
// WriteAble and ReadAble share (by reference count) one capture adapter, so
// copies write to or read from the same file. A failed or short operation
// returns false; nothing throws. NullWriteAble / NullReadAble do nothing and
// report success (NullReadAble yields zero bytes).
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace TavoAlgorithm {

// Output adapter: raw bytes to a file (no line-end translation).
class ofsCapture {
 public:
  explicit ofsCapture(const std::string& path);
  bool is_open() const { return m_out.is_open(); }
  bool write(const void* bytes, std::size_t length);
  bool flush();
  std::int64_t tell();
  bool seek(std::int64_t position);

 private:
  std::ofstream m_out;
};

// Input adapter: raw bytes from a regular file (anything else stays
// unopened); knows the file size so that readers can refuse counts larger
// than what is left.
class ifsCapture {
 public:
  explicit ifsCapture(const std::string& path);
  bool is_open() const { return m_in.is_open(); }
  bool read(void* bytes, std::size_t length);
  std::int64_t tell();
  bool seek(std::int64_t position);
  std::int64_t size() const { return m_size; }

 private:
  std::ifstream m_in;
  std::int64_t m_size = 0;
};

class WriteAble {
 public:
  WriteAble() = default;
  explicit WriteAble(std::shared_ptr<ofsCapture> out) : m_out(std::move(out)) {}
  virtual ~WriteAble() = default;
  // length 0 succeeds; a null buffer with a non-zero length fails.
  virtual bool write(const void* bytes, std::size_t length);
  virtual bool flush();
  virtual std::int64_t tell();
  virtual bool seek(std::int64_t position);

 private:
  std::shared_ptr<ofsCapture> m_out;
};

class ReadAble {
 public:
  ReadAble() = default;
  explicit ReadAble(std::shared_ptr<ifsCapture> in) : m_in(std::move(in)) {}
  virtual ~ReadAble() = default;
  virtual bool read(void* bytes, std::size_t length);
  virtual std::int64_t tell();
  virtual bool seek(std::int64_t position);
  // Bytes between the position and the end; readers check counts against it
  // before they allocate.
  virtual std::int64_t remaining();

 private:
  std::shared_ptr<ifsCapture> m_in;
};

class NullWriteAble : public WriteAble {
 public:
  bool write(const void*, std::size_t) override { return true; }
  bool flush() override { return true; }
  std::int64_t tell() override { return 0; }
  bool seek(std::int64_t) override { return true; }
};

class NullReadAble : public ReadAble {
 public:
  bool read(void*, std::size_t length) override { return length == 0; }
  std::int64_t tell() override { return 0; }
  bool seek(std::int64_t) override { return true; }
  std::int64_t remaining() override { return 0; }
};

// In-memory streams (shared-stream mode, tests).
class MemoryWriteAble : public WriteAble {
 public:
  bool write(const void* bytes, std::size_t length) override;
  bool flush() override { return true; }
  std::int64_t tell() override { return static_cast<std::int64_t>(m_pos); }
  bool seek(std::int64_t position) override;
  const std::vector<std::uint8_t>& bytes() const { return m_bytes; }

 private:
  std::vector<std::uint8_t> m_bytes;
  std::size_t m_pos = 0;
};

class MemoryReadAble : public ReadAble {
 public:
  explicit MemoryReadAble(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes)) {}
  bool read(void* bytes, std::size_t length) override;
  std::int64_t tell() override { return static_cast<std::int64_t>(m_pos); }
  bool seek(std::int64_t position) override;
  std::int64_t remaining() override { return static_cast<std::int64_t>(m_bytes.size() - m_pos); }

 private:
  std::vector<std::uint8_t> m_bytes;
  std::size_t m_pos = 0;
};

}  // namespace TavoAlgorithm

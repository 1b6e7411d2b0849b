#include "geometry/ArchiveStream.h"

#include <cstring>
#include <filesystem>
#include <system_error>

namespace TavoAlgorithm {

ofsCapture::ofsCapture(const std::string& path)
    : m_out(path, std::ios::binary | std::ios::trunc | std::ios::out) {}

bool ofsCapture::write(const void* bytes, std::size_t length) {
  if (length == 0) return true;
  if (!bytes) return false;
  m_out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(length));
  return static_cast<bool>(m_out);
}

bool ofsCapture::flush() { return static_cast<bool>(m_out.flush()); }

std::int64_t ofsCapture::tell() { return static_cast<std::int64_t>(m_out.tellp()); }

bool ofsCapture::seek(std::int64_t position) {
  m_out.seekp(position);
  return static_cast<bool>(m_out);
}

ifsCapture::ifsCapture(const std::string& path) {
  // A pipe would block the open and a device has no size to check counts by.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return;
  m_in.open(path, std::ios::binary | std::ios::in);
  if (!m_in) return;
  m_in.seekg(0, std::ios::end);
  m_size = static_cast<std::int64_t>(m_in.tellg());
  m_in.seekg(0, std::ios::beg);
}

bool ifsCapture::read(void* bytes, std::size_t length) {
  if (length == 0) return true;
  if (!bytes) return false;
  m_in.read(static_cast<char*>(bytes), static_cast<std::streamsize>(length));
  if (m_in) return true;
  m_in.clear();  // a short read must not poison later seeks
  return false;
}

std::int64_t ifsCapture::tell() { return static_cast<std::int64_t>(m_in.tellg()); }

bool ifsCapture::seek(std::int64_t position) {
  if (position < 0 || position > m_size) return false;
  m_in.clear();
  m_in.seekg(position);
  return static_cast<bool>(m_in);
}

bool WriteAble::write(const void* bytes, std::size_t length) {
  if (length == 0) return true;
  return bytes && m_out && m_out->write(bytes, length);
}
bool WriteAble::flush() { return m_out && m_out->flush(); }
std::int64_t WriteAble::tell() { return m_out ? m_out->tell() : -1; }
bool WriteAble::seek(std::int64_t position) { return m_out && m_out->seek(position); }

bool ReadAble::read(void* bytes, std::size_t length) {
  if (length == 0) return true;
  return bytes && m_in && m_in->read(bytes, length);
}
std::int64_t ReadAble::tell() { return m_in ? m_in->tell() : -1; }
bool ReadAble::seek(std::int64_t position) { return m_in && m_in->seek(position); }
std::int64_t ReadAble::remaining() { return m_in ? m_in->size() - m_in->tell() : 0; }

bool MemoryWriteAble::write(const void* bytes, std::size_t length) {
  if (length == 0) return true;
  if (!bytes) return false;
  if (m_pos + length > m_bytes.size()) m_bytes.resize(m_pos + length);
  std::memcpy(m_bytes.data() + m_pos, bytes, length);
  m_pos += length;
  return true;
}

bool MemoryWriteAble::seek(std::int64_t position) {
  if (position < 0 || static_cast<std::size_t>(position) > m_bytes.size()) return false;
  m_pos = static_cast<std::size_t>(position);
  return true;
}

bool MemoryReadAble::read(void* bytes, std::size_t length) {
  if (length == 0) return true;
  if (!bytes || length > m_bytes.size() - m_pos) return false;
  std::memcpy(bytes, m_bytes.data() + m_pos, length);
  m_pos += length;
  return true;
}

bool MemoryReadAble::seek(std::int64_t position) {
  if (position < 0 || static_cast<std::size_t>(position) > m_bytes.size()) return false;
  m_pos = static_cast<std::size_t>(position);
  return true;
}

}  // namespace TavoAlgorithm

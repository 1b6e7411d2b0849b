#pragma once
// Fixed-width little-endian encoders of plain values for the trace archives,
// the same bytes on every platform. Strings are a 32-bit length then the bytes.
// A bool is one byte, read back only when it is 0 or 1.
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include <Eigen/Core>

#include "geometry/ArchiveStream.h"
#include "geometry/Cloud.h"

namespace TavoAlgorithm {

template <typename T>
struct ArchiveCrossPlatformBaseType {
  static_assert(std::is_arithmetic_v<T>, "plain values only");
  static bool write(WriteAble& out, const T& v) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    to_little(b);
    return out.write(b, sizeof(T));
  }
  static bool read(ReadAble& in, T& v) {
    unsigned char b[sizeof(T)];
    if (!in.read(b, sizeof(T))) return false;
    if constexpr (std::is_same_v<T, bool>) {
      // Any other byte would make an invalid bool.
      if (b[0] > 1) return false;
      v = b[0] == 1;
      return true;
    }
    to_little(b);
    std::memcpy(&v, b, sizeof(T));
    return true;
  }

 private:
  static void to_little(unsigned char* b) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(b[i], b[sizeof(T) - 1 - i]);
#else
    (void)b;
#endif
  }
};

// The plain types recorded directly: 8-bit unsigned, 32-bit signed and 64-bit
// unsigned integers, and images (dynamic matrices of 3-byte colours).
template <typename T>
struct ArchiveCrossPlatform;
template <>
struct ArchiveCrossPlatform<std::uint8_t> : ArchiveCrossPlatformBaseType<std::uint8_t> {};
template <>
struct ArchiveCrossPlatform<std::int32_t> : ArchiveCrossPlatformBaseType<std::int32_t> {};
template <>
struct ArchiveCrossPlatform<std::uint64_t> : ArchiveCrossPlatformBaseType<std::uint64_t> {};

using ColorImage = Eigen::Matrix<Color3b, Eigen::Dynamic, Eigen::Dynamic>;

// int32 rows, int32 cols, then 3 bytes per pixel in column-major order.
template <>
struct ArchiveCrossPlatform<ColorImage> {
  static bool write(WriteAble& out, const ColorImage& m);
  static bool read(ReadAble& in, ColorImage& m);
};

inline bool write_i32(WriteAble& out, std::int32_t v) { return ArchiveCrossPlatformBaseType<std::int32_t>::write(out, v); }
inline bool read_i32(ReadAble& in, std::int32_t& v) { return ArchiveCrossPlatformBaseType<std::int32_t>::read(in, v); }
inline bool write_u64(WriteAble& out, std::uint64_t v) { return ArchiveCrossPlatformBaseType<std::uint64_t>::write(out, v); }
inline bool read_u64(ReadAble& in, std::uint64_t& v) { return ArchiveCrossPlatformBaseType<std::uint64_t>::read(in, v); }

bool write_string(WriteAble& out, const std::string& s);
// Fails on a negative length or one larger than the bytes left.
bool read_string(ReadAble& in, std::string& s);

// True when `count` elements of at least `minBytes` each can still be in the
// stream; checked before any allocation sized by a count read from a file.
inline bool count_fits(ReadAble& in, std::int64_t count, std::int64_t minBytes) {
  return count >= 0 && (minBytes == 0 || count <= in.remaining() / minBytes);
}

}  // namespace TavoAlgorithm

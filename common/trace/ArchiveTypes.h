#pragma once
// InterFace<T>: how each recorded parameter type is encoded in a trace.
//   bool, float, 8/32/64-bit integers: their bytes at natural width.
//   sequences: int32 count, then the elements (a sequence of const RangeData*
//     writes each frame's own archive; no null marker).
//   sequence of bool: int32 bit count n, then a byte sequence (int32 count,
//     bytes) of n / 8 + 1 bytes, bit i in byte i / 8, least significant first.
//   Cloud, RangeData, BaseTriMesh, RigidMatrix, BoundingBox: their archive
//     encodings (geometry/GeometryArchive.h).
// Readers never allocate more than the bytes left in the stream allow; a bad
// count prints "wrong item num\n" and fails.
#include <memory>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "common/console.h"
#include "geometry/BaseTriMesh.h"
#include "geometry/GeometryArchive.h"
#include "geometry/RangeData.h"

namespace TavoAlgorithm {

// Reader options: "get_old_std_vector_mode" = "true" reads sequence elements
// one by one instead of as one block (the bytes are the same).
using ArchiveOptions = std::map<std::string, std::string>;

inline bool old_vector_mode(const ArchiveOptions& o) {
  const auto it = o.find("get_old_std_vector_mode");
  return it != o.end() && it->second == "true";
}

// Frames created by replaying a sequence of const RangeData*: the library
// keeps them alive until release_replay_frames() (the traced operation only
// borrows the pointers, as it does from its caller).
class ReplayFrameStore {
 public:
  static ReplayFrameStore& instance();
  const RangeData* adopt(std::unique_ptr<RangeData> frame);
  void release();
  std::size_t size() const;

 private:
  mutable std::mutex m_mutex;
  std::vector<std::unique_ptr<RangeData>> m_frames;
};
inline void release_replay_frames() { ReplayFrameStore::instance().release(); }

template <typename T, typename Enable = void>
struct InterFace;

// Plain values.
template <typename T>
struct InterFace<T, std::enable_if_t<std::is_arithmetic_v<T>>> {
  static std::string tag() { return typeid(T).name(); }
  static constexpr std::int64_t kMinBytes = sizeof(T);
  static bool write(WriteAble& out, const T& v) { return ArchiveCrossPlatformBaseType<T>::write(out, v); }
  static bool read(ReadAble& in, T& v, const ArchiveOptions&) { return ArchiveCrossPlatformBaseType<T>::read(in, v); }
};

template <>
struct InterFace<ColorImage> {
  static std::string tag() { return typeid(ColorImage).name(); }
  static constexpr std::int64_t kMinBytes = 8;
  static bool write(WriteAble& out, const ColorImage& v) { return ArchiveCrossPlatform<ColorImage>::write(out, v); }
  static bool read(ReadAble& in, ColorImage& v, const ArchiveOptions&) { return ArchiveCrossPlatform<ColorImage>::read(in, v); }
};

template <>
struct InterFace<Eigen::Vector3f> {
  static std::string tag() { return typeid(Eigen::Vector3f).name(); }
  static constexpr std::int64_t kMinBytes = 12;
  static bool write(WriteAble& out, const Eigen::Vector3f& v) {
    return InterFace<float>::write(out, v.x()) && InterFace<float>::write(out, v.y()) &&
           InterFace<float>::write(out, v.z());
  }
  static bool read(ReadAble& in, Eigen::Vector3f& v, const ArchiveOptions& o) {
    return InterFace<float>::read(in, v.x(), o) && InterFace<float>::read(in, v.y(), o) &&
           InterFace<float>::read(in, v.z(), o);
  }
};

template <>
struct InterFace<RigidMatrix> {
  static std::string tag() { return "RigidMatrix"; }
  static constexpr std::int64_t kMinBytes = 96;
  static bool write(WriteAble& out, const RigidMatrix& v) { return write_archive(out, v); }
  static bool read(ReadAble& in, RigidMatrix& v, const ArchiveOptions&) { return read_archive(in, v); }
};

template <>
struct InterFace<BoundingBox> {
  static std::string tag() { return "BoundingBox"; }
  static constexpr std::int64_t kMinBytes = 24;
  static bool write(WriteAble& out, const BoundingBox& v) { return write_archive(out, v); }
  static bool read(ReadAble& in, BoundingBox& v, const ArchiveOptions&) { return read_archive(in, v); }
};

// Cloud and the types built on it.
template <typename T>
struct InterFace<T, std::enable_if_t<std::is_base_of_v<Cloud, T>>> {
  static std::string tag() {
    if constexpr (std::is_same_v<T, RangeData>) return "RangeData";
    else if constexpr (std::is_same_v<T, BaseTriMesh>) return "BaseTriMesh";
    else return "Cloud";
  }
  static constexpr std::int64_t kMinBytes = 5;
  static bool write(WriteAble& out, const T& v) { return v.write_archive(out); }
  static bool read(ReadAble& in, T& v, const ArchiveOptions&) {
    if (v.get_vn() > 0) console::message("Warning! Trace input model has data!");
    return v.read_archive(in);
  }
};

template <>
struct InterFace<const RangeData*> {
  static std::string tag() { return "RangeData"; }
  static constexpr std::int64_t kMinBytes = 5;
  static bool write(WriteAble& out, const RangeData* v) { return v && v->write_archive(out); }
  static bool read(ReadAble& in, const RangeData*& v, const ArchiveOptions&) {
    auto frame = std::make_unique<RangeData>();
    if (!frame->read_archive(in)) return false;
    v = ReplayFrameStore::instance().adopt(std::move(frame));
    return true;
  }
};

inline bool read_item_count(ReadAble& in, std::int32_t& n, std::int64_t minBytes) {
  if (!read_i32(in, n)) return false;
  if (!count_fits(in, n, minBytes)) {
    console::text("wrong item num\n");
    return false;
  }
  return true;
}

template <typename E>
struct InterFace<std::vector<E>, std::enable_if_t<!std::is_same_v<E, bool>>> {
  static std::string tag() { return "std::vector<" + InterFace<E>::tag() + ">"; }
  static constexpr std::int64_t kMinBytes = 4;
  static bool write(WriteAble& out, const std::vector<E>& v) {
    if (!write_i32(out, static_cast<std::int32_t>(v.size()))) return false;
    if constexpr (std::is_arithmetic_v<E>) {
#if !(defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
      return out.write(v.data(), v.size() * sizeof(E));
#endif
    }
    for (const E& e : v)
      if (!InterFace<E>::write(out, e)) return false;
    return true;
  }
  static bool read(ReadAble& in, std::vector<E>& v, const ArchiveOptions& o) {
    std::int32_t n = 0;
    if (!read_item_count(in, n, InterFace<E>::kMinBytes)) return false;
    std::vector<E> tmp(static_cast<std::size_t>(n));
    bool ok = true;
    if constexpr (std::is_arithmetic_v<E>) {
#if !(defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
      if (!old_vector_mode(o)) {
        if (!in.read(tmp.data(), tmp.size() * sizeof(E))) return false;
        v = std::move(tmp);
        return true;
      }
#endif
    }
    for (E& e : tmp)
      if (!(ok = InterFace<E>::read(in, e, o))) break;
    if (!ok) return false;
    v = std::move(tmp);
    return true;
  }
};

template <>
struct InterFace<std::vector<bool>> {
  static std::string tag() { return "std::vector<" + InterFace<bool>::tag() + ">"; }
  static constexpr std::int64_t kMinBytes = 8;
  static bool write(WriteAble& out, const std::vector<bool>& v);
  static bool read(ReadAble& in, std::vector<bool>& v, const ArchiveOptions& o);
};

}  // namespace TavoAlgorithm

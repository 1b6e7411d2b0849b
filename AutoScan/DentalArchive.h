#pragma once
// Trace encodings of the dental planner's records, field by field in
// declaration order at natural width (RigidMatrix through its archive).
#include "DentalScanPoses.h"
#include "common/trace/ArchiveTypes.h"

namespace TavoAlgorithm {
namespace dental_archive {

// Applies `f` to every field of the record in order; f returns false to stop.
template <typename P, typename F>
bool each_field(P& p, F&& f) {
  return f(p.firstAngle) && f(p.lastAngle) && f(p.angleStep) && f(p.clipZ) && f(p.stopThreshold) &&
         f(p.minShellSize) && f(p.tsdfVoxelSize) && f(p.planVoxelSize) && f(p.sampleStep) && f(p.maxHoleSize) &&
         f(p.setting2) && f(p.setting3);
}

template <typename C, typename F>
bool each_camera_field(C& c, F&& f) {
  for (auto& pose : c.pose)
    if (!f(pose)) return false;
  for (auto& v : c.focal)
    if (!f(v)) return false;
  for (auto& v : c.principal)
    if (!f(v)) return false;
  for (auto& v : c.size)
    if (!f(v)) return false;
  return true;
}

template <typename A, typename F>
bool each_axis_field(A& a, F&& f) {
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 3; ++j)
      if (!f(a.point[i][j])) return false;
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 3; ++j)
      if (!f(a.direction[i][j])) return false;
  return f(a.d) && f(a.tiltOffset) && f(a.setting2Offset) && f(a.k) && f(a.angleS);
}

struct Writer {
  WriteAble& out;
  template <typename V>
  bool operator()(const V& v) const { return InterFace<V>::write(out, v); }
};
struct Reader {
  ReadAble& in;
  const ArchiveOptions& o;
  template <typename V>
  bool operator()(V& v) const { return InterFace<V>::read(in, v, o); }
};

}  // namespace dental_archive

template <>
struct InterFace<DentalAutoScanParam> {
  static std::string tag() { return "DentalAutoScanParam"; }
  static constexpr std::int64_t kMinBytes = 48;
  static bool write(WriteAble& out, const DentalAutoScanParam& v) {
    return dental_archive::each_field(v, dental_archive::Writer{out});
  }
  static bool read(ReadAble& in, DentalAutoScanParam& v, const ArchiveOptions& o) {
    DentalAutoScanParam t;
    if (!dental_archive::each_field(t, dental_archive::Reader{in, o})) return false;
    v = t;
    return true;
  }
};

template <>
struct InterFace<CameraInfo> {
  static std::string tag() { return "CameraInfo"; }
  static constexpr std::int64_t kMinBytes = 3 * 96 + 12 * 4 + 16;
  static bool write(WriteAble& out, const CameraInfo& v) {
    return dental_archive::each_camera_field(v, dental_archive::Writer{out});
  }
  static bool read(ReadAble& in, CameraInfo& v, const ArchiveOptions& o) {
    CameraInfo t;
    if (!dental_archive::each_camera_field(t, dental_archive::Reader{in, o})) return false;
    v = t;
    return true;
  }
};

template <>
struct InterFace<AxisInfo> {
  static std::string tag() { return "AxisInfo"; }
  static constexpr std::int64_t kMinBytes = 30 * 8 + 8 + 16;
  static bool write(WriteAble& out, const AxisInfo& v) {
    return dental_archive::each_axis_field(v, dental_archive::Writer{out});
  }
  static bool read(ReadAble& in, AxisInfo& v, const ArchiveOptions& o) {
    AxisInfo t;
    if (!dental_archive::each_axis_field(t, dental_archive::Reader{in, o})) return false;
    v = t;
    return true;
  }
};

}  // namespace TavoAlgorithm

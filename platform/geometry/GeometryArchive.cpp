#include "geometry/GeometryArchive.h"

#include "geometry/BaseTriMesh.h"
#include "geometry/RangeData.h"

namespace TavoAlgorithm {

namespace {

constexpr bool kLittleEndianHost =
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    false;
#else
    true;
#endif

// Arrays of plain values: one block on little-endian hosts, else value by value.
template <typename Scalar>
bool write_block(WriteAble& out, const Scalar* data, std::size_t count) {
  if (kLittleEndianHost) return out.write(data, count * sizeof(Scalar));
  for (std::size_t i = 0; i < count; ++i)
    if (!ArchiveCrossPlatformBaseType<Scalar>::write(out, data[i])) return false;
  return true;
}

template <typename Scalar>
bool read_block(ReadAble& in, Scalar* data, std::size_t count) {
  if (!count_fits(in, static_cast<std::int64_t>(count), sizeof(Scalar))) return false;
  if (kLittleEndianHost) return in.read(data, count * sizeof(Scalar));
  for (std::size_t i = 0; i < count; ++i)
    if (!ArchiveCrossPlatformBaseType<Scalar>::read(in, data[i])) return false;
  return true;
}

template <typename Vec>
bool write_vectors(WriteAble& out, const std::vector<Vec>& v) {
  using S = typename Vec::Scalar;
  static_assert(sizeof(Vec) == sizeof(S) * Vec::SizeAtCompileTime, "packed vectors");
  return write_block(out, v.empty() ? nullptr : v.front().data(), v.size() * Vec::SizeAtCompileTime);
}

template <typename Vec>
bool read_vectors(ReadAble& in, std::vector<Vec>& v, std::size_t n) {
  using S = typename Vec::Scalar;
  if (!count_fits(in, static_cast<std::int64_t>(n), sizeof(Vec))) return false;
  v.resize(n);
  return read_block(in, v.empty() ? static_cast<S*>(nullptr) : v.front().data(), n * Vec::SizeAtCompileTime);
}

template <typename T>
bool write_plain(WriteAble& out, const T& v) { return ArchiveCrossPlatformBaseType<T>::write(out, v); }
template <typename T>
bool read_plain(ReadAble& in, T& v) { return ArchiveCrossPlatformBaseType<T>::read(in, v); }

constexpr std::uint8_t kNormals = 1, kColors = 2, kFlags = 4;
// No camera grid has a longer side.
constexpr std::int32_t kMaxGridSide = 1 << 16;
constexpr std::uint8_t kFaceFlags = 1, kFaceNormals = 2;

}  // namespace

bool ArchiveCrossPlatform<ColorImage>::write(WriteAble& out, const ColorImage& m) {
  if (!write_i32(out, static_cast<std::int32_t>(m.rows())) || !write_i32(out, static_cast<std::int32_t>(m.cols())))
    return false;
  for (Eigen::Index i = 0; i < m.size(); ++i)
    if (!out.write(m.data()[i].data(), 3)) return false;
  return true;
}

bool ArchiveCrossPlatform<ColorImage>::read(ReadAble& in, ColorImage& m) {
  std::int32_t rows = 0, cols = 0;
  if (!read_i32(in, rows) || !read_i32(in, cols) || rows < 0 || cols < 0) return false;
  if (cols != 0 && !count_fits(in, rows, 3LL * cols)) return false;
  ColorImage tmp(rows, cols);
  for (Eigen::Index i = 0; i < tmp.size(); ++i)
    if (!in.read(tmp.data()[i].data(), 3)) return false;
  m = std::move(tmp);
  return true;
}

bool write_string(WriteAble& out, const std::string& s) {
  return write_i32(out, static_cast<std::int32_t>(s.size())) && out.write(s.data(), s.size());
}

bool read_string(ReadAble& in, std::string& s) {
  std::int32_t n = 0;
  if (!read_i32(in, n) || !count_fits(in, n, 1)) return false;
  std::string tmp(static_cast<std::size_t>(n), '\0');
  if (!in.read(tmp.data(), tmp.size())) return false;
  s = std::move(tmp);
  return true;
}

bool write_archive(WriteAble& out, const RigidMatrix& m) {
  const Eigen::Matrix<double, 3, 3, Eigen::RowMajor> R = m.get_rotation();
  return write_block(out, R.data(), 9) && write_block(out, m.get_translation().data(), 3);
}

bool read_archive(ReadAble& in, RigidMatrix& m) {
  Eigen::Matrix<double, 3, 3, Eigen::RowMajor> R;
  Eigen::Vector3d t;
  if (!read_block(in, R.data(), 9) || !read_block(in, t.data(), 3)) return false;
  m = RigidMatrix(R, t);
  return true;
}

bool write_archive(WriteAble& out, const BoundingBox& b) {
  const float v[6] = {b.minX, b.minY, b.minZ, b.maxX, b.maxY, b.maxZ};
  return write_block(out, v, 6);
}

bool read_archive(ReadAble& in, BoundingBox& b) {
  float v[6];
  if (!read_block(in, v, 6)) return false;
  b = BoundingBox(Eigen::Vector3f(v[0], v[1], v[2]), Eigen::Vector3f(v[3], v[4], v[5]));
  return true;
}

bool Cloud::write_archive(WriteAble& out) const {
  const std::uint8_t mask = (m_hasNormal ? kNormals : 0) | (m_hasColor ? kColors : 0) | (m_hasFlag ? kFlags : 0);
  bool ok = write_i32(out, get_vn()) && write_plain(out, mask) && write_vectors(out, m_coords);
  if (ok && m_hasNormal) ok = write_vectors(out, m_normals);
  if (ok && m_hasColor) ok = write_vectors(out, m_colors);
  if (ok && m_hasFlag) ok = write_block(out, m_flags.data(), m_flags.size());
  return ok;
}

bool Cloud::read_archive(ReadAble& in) {
  std::int32_t n = 0;
  std::uint8_t mask = 0;
  if (!read_i32(in, n) || n < 0 || !read_plain(in, mask) || (mask & ~(kNormals | kColors | kFlags))) return false;
  const std::size_t count = static_cast<std::size_t>(n);
  std::vector<Eigen::Vector3f> coords, normals;
  std::vector<Color3b> colors;
  std::vector<VertexFlag> flags;
  if (!read_vectors(in, coords, count)) return false;
  if ((mask & kNormals) && !read_vectors(in, normals, count)) return false;
  if ((mask & kColors) && !read_vectors(in, colors, count)) return false;
  if (mask & kFlags) {
    if (!count_fits(in, n, 1)) return false;
    flags.resize(count);
    if (!read_block(in, flags.data(), count)) return false;
  }
  m_coords = std::move(coords);
  m_normals = std::move(normals);
  m_colors = std::move(colors);
  m_flags = std::move(flags);
  m_hasNormal = (mask & kNormals) != 0;
  m_hasColor = (mask & kColors) != 0;
  m_hasFlag = (mask & kFlags) != 0;
  resize_extra(count);
  return true;
}

bool RangeData::write_archive(WriteAble& out) const {
  return Cloud::write_archive(out) && write_i32(out, m_rows) && write_i32(out, m_cols) &&
         write_block(out, m_cells.data(), m_cells.size()) &&
         write_block(out, m_cellFlags.data(), m_cellFlags.size()) && write_vectors(out, m_uv) &&
         TavoAlgorithm::write_archive(out, m_pose) && write_block(out, m_sensorDir.data(), 3);
}

bool RangeData::read_archive(ReadAble& in) {
  RangeData tmp;
  std::int32_t rows = 0, cols = 0;
  if (!tmp.Cloud::read_archive(in) || !read_i32(in, rows) || !read_i32(in, cols) || rows < 0 || cols < 0)
    return false;
  // A grid is empty or has cells: 2^31 rows of no columns would hold no byte
  // and still make every row loop run for ever.
  if ((rows == 0) != (cols == 0) || rows > kMaxGridSide || cols > kMaxGridSide) return false;
  if (cols != 0 && !count_fits(in, rows, 5LL * cols)) return false;  // 4 + 1 bytes per cell
  tmp.set_grid_size(rows, cols);
  if (!read_block(in, tmp.m_cells.data(), tmp.m_cells.size()) ||
      !read_block(in, tmp.m_cellFlags.data(), tmp.m_cellFlags.size()) ||
      !read_vectors(in, tmp.m_uv, static_cast<std::size_t>(tmp.get_vn())) ||
      !TavoAlgorithm::read_archive(in, tmp.m_pose) || !read_block(in, tmp.m_sensorDir.data(), 3))
    return false;
  for (int v : tmp.m_cells)
    if (v < -1 || v >= tmp.get_vn()) return false;
  *this = std::move(tmp);
  return true;
}

bool BaseTriMesh::write_archive(WriteAble& out) const {
  const std::uint8_t mask = (m_hasFFlag ? kFaceFlags : 0) | (m_hasFNormal ? kFaceNormals : 0);
  bool ok = Cloud::write_archive(out) && write_i32(out, get_fn()) && write_plain(out, mask) &&
            write_block(out, m_faces.empty() ? nullptr : m_faces.front().v.data(), m_faces.size() * 3);
  if (ok && m_hasFFlag) ok = write_block(out, m_fFlags.data(), m_fFlags.size());
  if (ok && m_hasFNormal) ok = write_vectors(out, m_fNormals);
  return ok;
}

bool BaseTriMesh::read_archive(ReadAble& in) {
  BaseTriMesh tmp;
  std::int32_t m = 0;
  std::uint8_t mask = 0;
  if (!tmp.Cloud::read_archive(in) || !read_i32(in, m) || !read_plain(in, mask) ||
      (mask & ~(kFaceFlags | kFaceNormals)) || !count_fits(in, m, 12))
    return false;
  tmp.m_faces.resize(static_cast<std::size_t>(m));
  if (!read_block(in, tmp.m_faces.empty() ? nullptr : tmp.m_faces.front().v.data(), tmp.m_faces.size() * 3))
    return false;
  if (mask & kFaceFlags) {
    tmp.enable_fFlag();
    if (!read_block(in, tmp.m_fFlags.data(), tmp.m_fFlags.size())) return false;
  }
  if ((mask & kFaceNormals) && !read_vectors(in, tmp.m_fNormals, tmp.m_faces.size())) return false;
  tmp.m_hasFNormal = (mask & kFaceNormals) != 0;
  if (!tmp.faces_valid()) return false;
  *this = std::move(tmp);
  return true;
}

}  // namespace TavoAlgorithm

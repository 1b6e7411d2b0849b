#pragma once
// Cloud: points with optional per-point normals, colours and flags.
//
// Indices are int (the meshes index vertices with signed 32-bit values) and
// stay stable until squeeze() or clear(). Optional attributes exist only once
// enabled; enabling sizes them to the point count, and every later resize keeps
// existing values (new normals are zero, new flags zero, new colours black).
// Accessors do not check the index. Not thread-safe for concurrent resizing;
// distinct points may be written from different threads.
#include <Eigen/Core>
#include <cstdint>
#include <vector>

#include "geometry/BoundingBox.h"
#include "geometry/RigidMatrix.h"
#include "geometry/VertexFlag.h"

namespace TavoAlgorithm {

class WriteAble;
class ReadAble;

using Color3b = Eigen::Matrix<std::uint8_t, 3, 1>;

class Cloud {
 public:
  Cloud() = default;
  virtual ~Cloud() = default;
  Cloud(const Cloud&) = default;
  Cloud& operator=(const Cloud&) = default;
  Cloud(Cloud&&) noexcept = default;
  Cloud& operator=(Cloud&&) noexcept = default;

  int get_vn() const { return static_cast<int>(m_coords.size()); }

  const Eigen::Vector3f& get_vCoord(int i) const { return m_coords[i]; }
  void set_vCoord(int i, const Eigen::Vector3f& p) { m_coords[i] = p; }
  const std::vector<Eigen::Vector3f>& get_vCoords() const { return m_coords; }
  // Takes the array over; enabled attributes are resized to match.
  void set_vCoords(std::vector<Eigen::Vector3f>&& coords);

  void resize_vn(int n);
  void reserve_vn(int n);
  // Appends a point (attributes zero) and returns its index.
  int add_vCoord(const Eigen::Vector3f& p);

  void enable_vNormal();
  void disable_vNormal();
  bool has_vNormal() const { return m_hasNormal; }
  const Eigen::Vector3f& get_vNrv(int i) const { return m_normals[i]; }
  void set_vNrv(int i, const Eigen::Vector3f& n) { m_normals[i] = n; }

  void enable_vColor();
  void disable_vColor();
  bool has_vColor() const { return m_hasColor; }
  const Color3b& get_vColor(int i) const { return m_colors[i]; }
  void set_vColor(int i, const Color3b& c) { m_colors[i] = c; }

  void enable_vFlag();
  bool has_vFlag() const { return m_hasFlag; }
  VertexFlag get_vFlag(int i) const { return m_flags[i]; }
  void set_vFlag(int i, VertexFlag f) { m_flags[i] = f; }
  // Deleted is flag bit 0; without flags no point is deleted.
  bool get_vDeleted(int i) const { return m_hasFlag && (m_flags[i] & FLAG_DELETED) != 0; }
  // Enables the flags on first use.
  void set_vDeleted(int i, bool deleted);

  // Removes every point and attribute; which attributes are enabled is kept.
  virtual void clear();

  // Removes the deleted points. Walking from the front, each deleted point is
  // replaced by the last kept point, so kept points keep their order only up
  // to the first gap. When newIndex is given it receives, per old index, the
  // new index or -1. Returns the new point count.
  virtual int squeeze(std::vector<int>* newIndex = nullptr);

  // p -> R p + t for every point, n -> R n for every normal.
  virtual void rigid_transformation(const RigidMatrix& m);

  // Box of the points not marked deleted; empty box for no such point.
  BoundingBox get_boundBox() const;

  // Archive encoding (geometry/GeometryArchive.h); read leaves *this
  // unchanged on failure.
  virtual bool write_archive(WriteAble& out) const;
  virtual bool read_archive(ReadAble& in);

 protected:
  // Moves point `from` into slot `to` with all its attributes.
  virtual void move_vertex(int from, int to);
  // Per-point arrays of derived types follow the point count through this.
  virtual void resize_extra(std::size_t /*n*/) {}

  std::vector<Eigen::Vector3f> m_coords;
  std::vector<Eigen::Vector3f> m_normals;
  std::vector<Color3b> m_colors;
  std::vector<VertexFlag> m_flags;
  bool m_hasNormal = false;
  bool m_hasColor = false;
  bool m_hasFlag = false;

 private:
  void resize_attributes();
};

}  // namespace TavoAlgorithm

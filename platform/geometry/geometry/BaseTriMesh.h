#pragma once
// BaseTriMesh: a Cloud plus triangles with optional per-face flags and normals.
// Deleted vertices and faces stay in the arrays, marked, until squeeze().
#include <array>
#include <vector>

#include "geometry/Cloud.h"

namespace TavoAlgorithm {

struct BaseTriFace {
  std::array<int, 3> v{{-1, -1, -1}};
  BaseTriFace() = default;
  BaseTriFace(int a, int b, int c) : v{{a, b, c}} {}
  int& operator[](int k) { return v[k]; }
  int operator[](int k) const { return v[k]; }
  bool operator==(const BaseTriFace& o) const { return v == o.v; }
};
static_assert(sizeof(BaseTriFace) == 3 * sizeof(int), "BaseTriFace is three packed ints");

class BaseTriMesh : public Cloud {
 public:
  int get_fn() const { return static_cast<int>(m_faces.size()); }
  const BaseTriFace& get_face(int i) const { return m_faces[i]; }
  void set_face(int i, const BaseTriFace& f) { m_faces[i] = f; }
  const std::vector<BaseTriFace>& get_faces() const { return m_faces; }
  void set_faces(std::vector<BaseTriFace>&& faces);
  void add_faces(const std::vector<BaseTriFace>& faces);
  int add_face(const BaseTriFace& f);
  void resize_fn(int n);
  void reserve_fn(int n);

  void enable_fFlag();
  bool has_fFlag() const { return m_hasFFlag; }
  FaceFlag get_fFlag(int i) const { return m_fFlags[i]; }
  void set_fFlag(int i, FaceFlag f) { m_fFlags[i] = f; }
  bool get_fDeleted(int i) const { return m_hasFFlag && (m_fFlags[i] & FLAG_DELETED) != 0; }
  void set_fDeleted(int i, bool deleted);  // enables the flags on first use

  void enable_fNormal();
  bool has_fNormal() const { return m_hasFNormal; }
  const Eigen::Vector3f& get_fNrv(int i) const { return m_fNormals[i]; }
  void set_fNrv(int i, const Eigen::Vector3f& n) { m_fNormals[i] = n; }
  // Unit normals of every face from its corner order (zero for degenerate).
  void update_fNrv();
  // Vertex normals: area-weighted sum of the normals of the faces that are not
  // deleted, normalised; enables vertex normals. Vertices without faces get 0.
  void update_VNrv();

  // True when every face index lies in [0, get_vn()).
  bool faces_valid() const;

  void clear() override;
  bool write_archive(WriteAble& out) const override;
  bool read_archive(ReadAble& in) override;
  // Removes deleted vertices, deleted faces and faces that reference a deleted
  // vertex, and renumbers the faces.
  int squeeze(std::vector<int>* newIndex = nullptr) override;

  // Also rotates the face normals.
  void rigid_transformation(const RigidMatrix& m) override;

 private:
  std::vector<BaseTriFace> m_faces;
  std::vector<FaceFlag> m_fFlags;
  std::vector<Eigen::Vector3f> m_fNormals;
  bool m_hasFFlag = false;
  bool m_hasFNormal = false;

  void resize_face_attributes();
};

}  // namespace TavoAlgorithm

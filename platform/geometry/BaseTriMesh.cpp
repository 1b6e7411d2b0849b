#include "geometry/BaseTriMesh.h"

#include <algorithm>

namespace TavoAlgorithm {

void BaseTriMesh::resize_face_attributes() {
  if (m_hasFFlag) m_fFlags.resize(m_faces.size(), 0);
  if (m_hasFNormal) m_fNormals.resize(m_faces.size(), Eigen::Vector3f::Zero());
}

void BaseTriMesh::set_faces(std::vector<BaseTriFace>&& faces) {
  m_faces = std::move(faces);
  resize_face_attributes();
}

void BaseTriMesh::add_faces(const std::vector<BaseTriFace>& faces) {
  m_faces.insert(m_faces.end(), faces.begin(), faces.end());
  resize_face_attributes();
}

int BaseTriMesh::add_face(const BaseTriFace& f) {
  m_faces.push_back(f);
  resize_face_attributes();
  return get_fn() - 1;
}

void BaseTriMesh::resize_fn(int n) {
  m_faces.resize(static_cast<std::size_t>(std::max(n, 0)));
  resize_face_attributes();
}

void BaseTriMesh::reserve_fn(int n) {
  const std::size_t c = static_cast<std::size_t>(std::max(n, 0));
  m_faces.reserve(c);
  if (m_hasFFlag) m_fFlags.reserve(c);
  if (m_hasFNormal) m_fNormals.reserve(c);
}

void BaseTriMesh::enable_fFlag() {
  m_hasFFlag = true;
  m_fFlags.resize(m_faces.size(), 0);
}

void BaseTriMesh::set_fDeleted(int i, bool deleted) {
  if (!m_hasFFlag) enable_fFlag();
  if (deleted)
    m_fFlags[i] |= FLAG_DELETED;
  else
    m_fFlags[i] &= static_cast<FaceFlag>(~FLAG_DELETED);
}

void BaseTriMesh::enable_fNormal() {
  m_hasFNormal = true;
  m_fNormals.resize(m_faces.size(), Eigen::Vector3f::Zero());
}

void BaseTriMesh::update_fNrv() {
  enable_fNormal();
  for (int i = 0; i < get_fn(); ++i) {
    const BaseTriFace& f = m_faces[i];
    const Eigen::Vector3f n =
        (m_coords[f[1]] - m_coords[f[0]]).cross(m_coords[f[2]] - m_coords[f[0]]);
    const float len = n.norm();
    m_fNormals[i] = len > 0.f ? Eigen::Vector3f(n / len) : Eigen::Vector3f::Zero();
  }
}

void BaseTriMesh::update_VNrv() {
  enable_vNormal();
  std::fill(m_normals.begin(), m_normals.end(), Eigen::Vector3f::Zero());
  for (int i = 0; i < get_fn(); ++i) {
    if (get_fDeleted(i)) continue;
    const BaseTriFace& f = m_faces[i];
    // The cross product's length is twice the area: area weighting for free.
    const Eigen::Vector3f n =
        (m_coords[f[1]] - m_coords[f[0]]).cross(m_coords[f[2]] - m_coords[f[0]]);
    for (int k = 0; k < 3; ++k) m_normals[f[k]] += n;
  }
  for (auto& n : m_normals) {
    const float len = n.norm();
    n = len > 0.f ? Eigen::Vector3f(n / len) : Eigen::Vector3f::Zero();
  }
}

bool BaseTriMesh::faces_valid() const {
  const int n = get_vn();
  return std::all_of(m_faces.begin(), m_faces.end(), [n](const BaseTriFace& f) {
    return f[0] >= 0 && f[0] < n && f[1] >= 0 && f[1] < n && f[2] >= 0 && f[2] < n;
  });
}

void BaseTriMesh::clear() {
  Cloud::clear();
  m_faces.clear();
  m_fFlags.clear();
  m_fNormals.clear();
}

int BaseTriMesh::squeeze(std::vector<int>* newIndex) {
  std::vector<int> local;
  std::vector<int>& map = newIndex ? *newIndex : local;
  const int n = Cloud::squeeze(&map);
  std::size_t out = 0;
  for (std::size_t i = 0; i < m_faces.size(); ++i) {
    if (get_fDeleted(static_cast<int>(i))) continue;
    BaseTriFace f = m_faces[i];
    bool keep = true;
    for (int k = 0; k < 3 && keep; ++k) {
      keep = f[k] >= 0 && f[k] < static_cast<int>(map.size()) && map[f[k]] >= 0;
      if (keep) f[k] = map[f[k]];
    }
    if (!keep) continue;
    m_faces[out] = f;
    if (m_hasFFlag) m_fFlags[out] = m_fFlags[i];
    if (m_hasFNormal) m_fNormals[out] = m_fNormals[i];
    ++out;
  }
  resize_fn(static_cast<int>(out));
  return n;
}

void BaseTriMesh::rigid_transformation(const RigidMatrix& m) {
  Cloud::rigid_transformation(m);
  if (m_hasFNormal)
    for (auto& n : m_fNormals) n = m.transform_normal(n);
}

}  // namespace TavoAlgorithm

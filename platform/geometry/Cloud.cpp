#include "geometry/Cloud.h"

#include <algorithm>

namespace TavoAlgorithm {

void Cloud::resize_attributes() {
  const std::size_t n = m_coords.size();
  if (m_hasNormal) m_normals.resize(n, Eigen::Vector3f::Zero());
  if (m_hasColor) m_colors.resize(n, Color3b::Zero());
  if (m_hasFlag) m_flags.resize(n, 0);
  resize_extra(n);
}

void Cloud::set_vCoords(std::vector<Eigen::Vector3f>&& coords) {
  m_coords = std::move(coords);
  resize_attributes();
}

void Cloud::resize_vn(int n) {
  m_coords.resize(static_cast<std::size_t>(std::max(n, 0)), Eigen::Vector3f::Zero());
  resize_attributes();
}

void Cloud::reserve_vn(int n) {
  const std::size_t c = static_cast<std::size_t>(std::max(n, 0));
  m_coords.reserve(c);
  if (m_hasNormal) m_normals.reserve(c);
  if (m_hasColor) m_colors.reserve(c);
  if (m_hasFlag) m_flags.reserve(c);
}

int Cloud::add_vCoord(const Eigen::Vector3f& p) {
  m_coords.push_back(p);
  resize_attributes();
  return get_vn() - 1;
}

void Cloud::enable_vNormal() {
  m_hasNormal = true;
  m_normals.resize(m_coords.size(), Eigen::Vector3f::Zero());
}

void Cloud::disable_vNormal() {
  m_hasNormal = false;
  std::vector<Eigen::Vector3f>().swap(m_normals);
}

void Cloud::enable_vColor() {
  m_hasColor = true;
  m_colors.resize(m_coords.size(), Color3b::Zero());
}

void Cloud::disable_vColor() {
  m_hasColor = false;
  std::vector<Color3b>().swap(m_colors);
}

void Cloud::enable_vFlag() {
  m_hasFlag = true;
  m_flags.resize(m_coords.size(), 0);
}

void Cloud::set_vDeleted(int i, bool deleted) {
  if (!m_hasFlag) enable_vFlag();
  if (deleted)
    m_flags[i] |= FLAG_DELETED;
  else
    m_flags[i] &= static_cast<VertexFlag>(~FLAG_DELETED);
}

void Cloud::clear() {
  m_coords.clear();
  m_normals.clear();
  m_colors.clear();
  m_flags.clear();
  resize_extra(0);
}

void Cloud::move_vertex(int from, int to) {
  m_coords[to] = m_coords[from];
  if (m_hasNormal) m_normals[to] = m_normals[from];
  if (m_hasColor) m_colors[to] = m_colors[from];
  if (m_hasFlag) m_flags[to] = m_flags[from];
}

int Cloud::squeeze(std::vector<int>* newIndex) {
  const int n = get_vn();
  if (newIndex) {
    newIndex->resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) (*newIndex)[i] = i;
  }
  if (!m_hasFlag) return n;
  int last = n - 1;
  int front = 0;
  for (; front <= last; ++front) {
    if (!get_vDeleted(front)) continue;
    while (last > front && get_vDeleted(last)) {
      if (newIndex) (*newIndex)[last] = -1;
      --last;
    }
    if (newIndex) (*newIndex)[front] = -1;
    if (last == front) {  // only deleted points remain from here on
      --last;
      break;
    }
    move_vertex(last, front);
    if (newIndex) (*newIndex)[last] = front;
    --last;
  }
  resize_vn(last + 1);
  return get_vn();
}

void Cloud::rigid_transformation(const RigidMatrix& m) {
  for (auto& p : m_coords) p = m * p;
  if (m_hasNormal)
    for (auto& nrm : m_normals) nrm = m.transform_normal(nrm);
}

BoundingBox Cloud::get_boundBox() const {
  BoundingBox box;
  for (int i = 0; i < get_vn(); ++i)
    if (!get_vDeleted(i)) box.extend(m_coords[i]);
  return box;
}

}  // namespace TavoAlgorithm

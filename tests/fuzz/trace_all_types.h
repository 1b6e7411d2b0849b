#pragma once
// One value of every type the trace facility records, as the parameter list
// of one call: the fuzz target reads it back and touches every field, the
// seed writer records a filled one.
#include <cstdint>
#include <vector>

#include "common/trace/ArchiveReader.h"
#include "common/trace/ArchiveWriter.h"

namespace TavoAlgorithm::fuzz {

struct AllTraceTypes {
  bool flag = false;
  float number = 0.f;
  std::int32_t count = 0;
  std::uint8_t byte = 0;
  std::uint64_t wide = 0;
  ColorImage image;
  RigidMatrix pose;
  BoundingBox box;
  Cloud cloud;
  RangeData frame;
  BaseTriMesh mesh;
  std::vector<const RangeData*> frames;
  std::vector<RigidMatrix> poses;
  std::vector<int> ids;
  std::vector<Cloud> clouds;
  std::vector<std::vector<float>> weights;
  std::vector<std::vector<bool>> marks;
  std::vector<std::vector<Eigen::Vector3f>> normals;
  std::vector<std::vector<Cloud>> cloudLists;
};

// Works for ArchiveWriter (const values) and ArchiveReader alike.
template <typename Archive, typename Types>
void add_all(Archive& a, Types& t) {
  a.add(t.flag, "flag");
  a.add(t.number, "number");
  a.add(t.count, "count");
  a.add(t.byte, "byte");
  a.add(t.wide, "wide");
  a.add(t.image, "image");
  a.add(t.pose, "pose");
  a.add(t.box, "box");
  a.add(t.cloud, "cloud");
  a.add(t.frame, "frame");
  a.add(t.mesh, "mesh");
  a.add(t.frames, "frames");
  a.add(t.poses, "poses");
  a.add(t.ids, "ids");
  a.add(t.clouds, "clouds");
  a.add(t.weights, "weights");
  a.add(t.marks, "marks");
  a.add(t.normals, "normals");
  a.add(t.cloudLists, "cloudLists");
}

}  // namespace TavoAlgorithm::fuzz

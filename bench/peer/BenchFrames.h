#pragma once
// The frames both fusions receive: a reference object in millimetres (the
// Stanford bunny when the data folder has it, else a lumpy sphere of the same
// size), pinhole cameras spread evenly over a sphere around it, and the range
// frames and depth images the simulator makes of it.
#include <string>
#include <vector>

#include "RangeSimulator.h"
#include "SurfaceDistance.h"

namespace TavoAlgorithm::bench {

struct ReferenceObject {
  std::string name;
  sim::Scene scene;
  TriangleSoup surface;
  Eigen::Vector3f center = Eigen::Vector3f::Zero();
  float radius = 0.f;  // of the bounding sphere about `center`
};

// bun_zipper_res2.ply under dataDir/bunny-scans (metres, scaled to mm), or the
// built-in object when dataDir is empty or lacks the file.
ReferenceObject load_reference(const std::string& dataDir);
// A mesh file scaled by `scale` as the reference (name: the file's); an
// object without faces when the file cannot be read.
ReferenceObject load_reference_mesh(const std::string& path, float scale);
// A reference made of the given triangles (in place of a mesh file).
ReferenceObject reference_from_soup(const TriangleSoup& soup, const std::string& name);

struct FrameSet {
  std::vector<RangeData> frames;
  std::vector<std::vector<float>> depths;  // one depth image per frame
  // The camera of each depth image; empty: RunSetup::camera at the frame's pose.
  std::vector<sim::Camera> cameras;
};

// `count` views from directions spread by the golden spiral over the whole
// sphere, `distance` from the object's centre; depth noise of sigma
// noiseSigma (mm) at that distance when positive. `phase` in [0, 1) shifts
// the spiral so that another call yields fresh directions.
FrameSet sphere_frames(const ReferenceObject& object, const sim::Camera& camera, int count, float distance,
                       float noiseSigma, float phase = 0.f);

}  // namespace TavoAlgorithm::bench

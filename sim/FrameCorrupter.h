#pragma once
// Outliers of real range scanners injected into a frame, with a record of
// every point injected, so that cleaning can be scored. The frame's camera
// centre is its coordinate origin: points move along their viewing rays.
//   - flying pixels: points in the empty cells beside a depth edge, on the
//     cell's own ray (extrapolated from the edge point's and the one beyond
//     it) and farther than the edge point (mixed foreground and background
//     returns);
//   - spikes: isolated points moved toward or away from the camera;
//   - a reflected patch: a disc of cells pushed away from the camera.
// Reproducible per seed. Single-threaded.
#include <vector>

#include "geometry/RangeData.h"

namespace TavoAlgorithm::sim {

enum class Injected { Flying, SpikeFront, SpikeBehind, Reflection };

struct InjectedPoint {
  int row = 0, col = 0;  // the cell that holds it
  Injected kind = Injected::Flying;
};

struct CorruptionOptions {
  float flyingShare = 0.3f;  // share of the depth-edge cells given a flying pixel
  float flyingMin = 3.f, flyingMax = 15.f;  // distance behind the edge point
  int spikes = 200;          // half in front, half behind
  float spikeMin = 4.f, spikeMax = 20.f;
  int patchRadius = 6;  // cells; 0: no patch
  float patchOffset = 8.f;
  unsigned seed = 1;
};

// Injects into `frame` (points, cells, texture coordinates, flags and
// normals kept in step) and returns what it injected. A frame without a grid
// is left as it is.
std::vector<InjectedPoint> corrupt_frame(RangeData& frame, const CorruptionOptions& options);

}  // namespace TavoAlgorithm::sim

#include "FrameCorrupter.h"

#include <random>

namespace TavoAlgorithm::sim {
namespace {

// p moved by t along its viewing ray (positive: away from the camera).
Eigen::Vector3f along_ray(const Eigen::Vector3f& p, float t) {
  const float r = p.norm();
  return r > 0.f ? Eigen::Vector3f(p * ((r + t) / r)) : p;
}

}  // namespace

std::vector<InjectedPoint> corrupt_frame(RangeData& frame, const CorruptionOptions& o) {
  std::vector<InjectedPoint> out;
  const int rows = frame.get_rows(), cols = frame.get_cols();
  if (rows <= 0 || cols <= 0 || frame.get_vn() == 0) return out;
  std::mt19937 rng(o.seed);
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  auto cell = [&](int r, int c) { return r >= 0 && c >= 0 && r < rows && c < cols ? frame.get_cellVertex(r, c) : -2; };
  std::vector<char> touched(static_cast<std::size_t>(rows) * cols, 0);
  auto touch = [&](int r, int c) -> char& { return touched[static_cast<std::size_t>(r) * cols + c]; };

  // Flying pixels: decided on the grid as it was, added afterwards.
  struct NewPoint {
    int r, c, from;
    Eigen::Vector3f at;
  };
  std::vector<NewPoint> flying;
  const int dr[4] = {-1, 1, 0, 0}, dc[4] = {0, 0, -1, 1};
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const int v = cell(r, c);
      if (v < 0) continue;
      for (int k = 0; k < 4; ++k) {
        const int rr = r + dr[k], cc = c + dc[k];
        if (cell(rr, cc) != -1 || touch(rr, cc) || unit(rng) >= o.flyingShare) continue;
        // The empty cell's own ray, one cell on from the edge point's, as
        // the edge point's ray lies one cell on from the opposite neighbour's.
        const int opposite = cell(r - dr[k], c - dc[k]);
        if (opposite < 0) continue;
        const Eigen::Vector3f p = frame.get_vCoord(v);
        const Eigen::Vector3f ray = (2.f * p.normalized() - frame.get_vCoord(opposite).normalized()).normalized();
        touch(rr, cc) = 1;
        const float t = o.flyingMin + unit(rng) * (o.flyingMax - o.flyingMin);
        flying.push_back({rr, cc, v, Eigen::Vector3f(ray * (p.norm() + t))});
      }
    }
  for (const NewPoint& f : flying) {
    const int v = frame.add_vCoord(f.at);
    if (frame.has_vNormal()) frame.set_vNrv(v, frame.get_vNrv(f.from));
    if (frame.has_vFlag()) frame.set_vFlag(v, 0);
    frame.set_vUV(v, frame.get_vUV(f.from));
    frame.set_cellVertex(f.r, f.c, v);
    out.push_back({f.r, f.c, Injected::Flying});
  }

  // Spikes at interior cells, away from each other and from the flying pixels.
  std::uniform_int_distribution<int> pickR(0, rows - 1), pickC(0, cols - 1);
  for (int s = 0, tries = 0; s < o.spikes && tries < 100 * o.spikes; ++tries) {
    const int r = pickR(rng), c = pickC(rng);
    bool interior = true;
    for (int a = -2; a <= 2 && interior; ++a)
      for (int b = -2; b <= 2 && interior; ++b) interior = cell(r + a, c + b) >= 0 && !touch(r + a, c + b);
    if (!interior) continue;
    const bool front = s % 2 == 0;
    const float t = o.spikeMin + unit(rng) * (o.spikeMax - o.spikeMin);
    const int v = cell(r, c);
    frame.set_vCoord(v, along_ray(frame.get_vCoord(v), front ? -t : t));
    touch(r, c) = 1;
    out.push_back({r, c, front ? Injected::SpikeFront : Injected::SpikeBehind});
    ++s;
  }

  // One reflected patch around a random interior cell.
  if (o.patchRadius > 0) {
    for (int tries = 0; tries < 1000; ++tries) {
      const int r = pickR(rng), c = pickC(rng);
      if (cell(r, c) < 0 || touch(r, c)) continue;
      for (int a = -o.patchRadius; a <= o.patchRadius; ++a)
        for (int b = -o.patchRadius; b <= o.patchRadius; ++b) {
          if (a * a + b * b > o.patchRadius * o.patchRadius) continue;
          const int v = cell(r + a, c + b);
          if (v < 0 || touch(r + a, c + b)) continue;
          frame.set_vCoord(v, along_ray(frame.get_vCoord(v), o.patchOffset));
          touch(r + a, c + b) = 1;
          out.push_back({r + a, c + b, Injected::Reflection});
        }
      break;
    }
  }
  return out;
}

}  // namespace TavoAlgorithm::sim

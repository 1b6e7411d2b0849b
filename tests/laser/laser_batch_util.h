#pragma once
// Simulated sweeps as the batch calls take them (frames of line clouds and
// their poses), and the score of estimated laser normals against the truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "laser_scan_util.h"

namespace laser_test {
using Frames = std::vector<std::vector<Cloud>>;

inline Frames to_frames(const std::vector<sim::LaserFrame>& sweep, bool normals) {
  Frames frames;
  for (const auto& f : sweep) {
    std::vector<Cloud> lines;
    for (const auto& l : f.lines) {
      Cloud c;
      c.set_vCoords(std::vector<V3>(l.points));
      if (normals) {
        c.enable_vNormal();
        for (int k = 0; k < c.get_vn(); ++k) c.set_vNrv(k, l.normals[static_cast<std::size_t>(k)]);
      }
      lines.push_back(std::move(c));
    }
    frames.push_back(std::move(lines));
  }
  return frames;
}

inline std::vector<RigidMatrix> poses(const std::vector<sim::LaserFrame>& sweep) {
  std::vector<RigidMatrix> rts;
  for (const auto& f : sweep) rts.push_back(f.pose);
  return rts;
}

struct NormalScore {
  int points = 0, estimated = 0, within10 = 0, facing = 0;
};

// Against the simulator's true normals (the hit face's, facing the camera),
// in the camera frame; the points must come back exactly as they went in.
inline NormalScore score_normals(const Frames& before, const Frames& after,
                                 const std::vector<sim::LaserFrame>& truth) {
  NormalScore s;
  for (std::size_t i = 0; i < after.size(); ++i)
    for (std::size_t j = 0; j < after[i].size(); ++j) {
      const Cloud& c = after[i][j];
      EXPECT_TRUE(c.has_vNormal());
      EXPECT_EQ(std::memcmp(c.get_vCoords().data(), before[i][j].get_vCoords().data(),
                            c.get_vCoords().size() * sizeof(V3)),
                0);
      for (int k = 0; k < c.get_vn(); ++k) {
        ++s.points;
        const V3 n = c.get_vNrv(k);
        if (n == V3::Zero()) continue;
        ++s.estimated;
        const V3 t = truth[i].lines[j].normals[static_cast<std::size_t>(k)];
        s.within10 += n.dot(t) > std::cos(10.f * static_cast<float>(M_PI) / 180.f);
        s.facing += n.dot(-c.get_vCoord(k)) > 0.f;
      }
    }
  std::printf("%d points, %d with a normal, %.2f%% within 10 deg, %.2f%% facing the camera\n", s.points,
              s.estimated, 100.0 * s.within10 / std::max(s.estimated, 1), 100.0 * s.facing / std::max(s.estimated, 1));
  return s;
}

}  // namespace laser_test

#pragma once
// Organised range scans on disk: a PLY file with `vertex` (float x, y, z) and
// `range_grid` (one list per cell holding zero or one vertex index, row-major;
// grid size from "obj_info num_cols" / "obj_info num_rows") plus a pose list
// (".conf") with lines
//   camera tx ty tz qx qy qz qw
//   bmesh <file> tx ty tz qx qy qz qw
// whose transform maps scan coordinates into the common space as
// p = R(q)^T p_scan + t (the quaternion holds the inverse rotation, as in the
// Stanford scan lists).
// Every reader returns RETVAL_FAILED with a located error line on bad input.
#include <string>
#include <vector>

#include "RetVal.h"
#include "geometry/RangeData.h"

namespace TavoAlgorithm {

struct ScanPose {
  std::string file;  // as written in the pose list, relative to the list
  RigidMatrix pose;
};

struct ScanPoseList {
  RigidMatrix camera;
  std::vector<ScanPose> scans;
};

// The frame's sensor direction is +z; its pose is identity.
RetVal read_range_scan(const std::string& plyPath, RangeData& rge);
RetVal read_scan_pose_list(const std::string& confPath, ScanPoseList& list);
// Reads every scan of the list, each with its pose set.
RetVal read_range_scans(const std::string& confPath, std::vector<RangeData>& frames);
// Reads one scan and the pose the list gives for its file name.
RetVal read_range_scan_with_pose(const std::string& plyPath, const std::string& confPath,
                                 RangeData& rge);

}  // namespace TavoAlgorithm

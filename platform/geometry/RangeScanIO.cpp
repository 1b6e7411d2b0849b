#include "geometry/RangeScanIO.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include "geometry/ConsoleLines.h"
#include "geometry/InputFile.h"
#include "ply_reader.h"

namespace TavoAlgorithm {

namespace {

RetVal fail(const std::string& path, const std::string& why) {
  TAVO_PLATFORM_ERROR(path + ": " + why);
  return RETVAL_FAILED;
}

// Grid sides beyond this are no scanner's camera.
constexpr long long kMaxGridSide = 1 << 16;
// A pose list names one scan a line; a thousand times the longest real list.
constexpr std::uint64_t kMaxPoseListBytes = std::uint64_t{16} << 20;
constexpr std::size_t kMaxPoseLine = 4096;

bool parse_int(const std::map<std::string, std::string>& info, const std::string& key, int& v) {
  const auto it = info.find(key);
  long long x = 0;
  if (it == info.end() || !parse_integer_token(it->second, 1, kMaxGridSide, x)) return false;
  v = static_cast<int>(x);
  return true;
}

// "tx ty tz qx qy qz qw" -> pose; false for missing, extra or non-finite numbers
// or a quaternion too far from unit length to be a rotation.
bool parse_pose(std::istringstream& ls, RigidMatrix& pose) {
  double v[7];
  std::string token;
  for (double& x : v)
    if (!(ls >> token) || !parse_double_token(token, x) || !std::isfinite(x)) return false;
  if (ls >> token) return false;
  Eigen::Quaterniond q(v[6], v[3], v[4], v[5]);
  if (std::abs(q.norm() - 1.0) > 1e-2) return false;
  q.normalize();
  // The lists store the inverse rotation: the scans register (to the noise of
  // the scanner) only with the conjugate, while the translation is applied as
  // written.
  pose = RigidMatrix(q.conjugate().toRotationMatrix(), Eigen::Vector3d(v[0], v[1], v[2]));
  return true;
}

std::string number_text(double v) {
  std::ostringstream s;
  s << v;
  return s.str();
}

std::string directory_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string file_name_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

RetVal read_range_scan(const std::string& plyPath, RangeData& rge) {
  ply::File file;
  std::string error;
  if (!ply::read(plyPath, file, error)) return fail(plyPath, error);
  int cols = 0, rows = 0;
  if (!parse_int(file.objInfo, "num_cols", cols) || !parse_int(file.objInfo, "num_rows", rows))
    return fail(plyPath, "missing or bad obj_info num_cols / num_rows");
  const ply::Element* vertex = file.find("vertex");
  const ply::Element* grid = file.find("range_grid");
  if (!vertex || !grid) return fail(plyPath, "needs a vertex and a range_grid element");
  const ply::Property* px = vertex->find("x");
  const ply::Property* py = vertex->find("y");
  const ply::Property* pz = vertex->find("z");
  const ply::Property* cells = grid->find("vertex_indices");
  if (!px || !py || !pz || px->isList || py->isList || pz->isList)
    return fail(plyPath, "vertex needs scalar x, y, z");
  if (!cells || !cells->isList) return fail(plyPath, "range_grid needs a vertex_indices list");
  const std::size_t cellCount = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  if (grid->count != cellCount)
    return fail(plyPath, "range_grid has " + std::to_string(grid->count) + " cells, grid is " +
                             std::to_string(rows) + " x " + std::to_string(cols));
  const std::size_t vn = vertex->count;
  if (vn > static_cast<std::size_t>(std::numeric_limits<int>::max()))
    return fail(plyPath, "too many vertices");

  std::vector<Eigen::Vector3f> coords(vn);
  for (std::size_t i = 0; i < vn; ++i) {
    coords[i] = Eigen::Vector3d(px->values[i], py->values[i], pz->values[i]).cast<float>();
    if (!coords[i].allFinite())
      return fail(plyPath, "vertex " + std::to_string(i) + " has a non-finite coordinate");
  }
  RangeData out;
  out.set_vCoords(std::move(coords));
  out.set_grid_size(rows, cols);
  std::vector<char> used(vn, 0);
  for (std::size_t c = 0; c < cellCount; ++c) {
    const std::size_t b = cells->offsets[c], e = cells->offsets[c + 1];
    if (e == b) continue;
    if (e - b > 1) return fail(plyPath, "range_grid cell " + std::to_string(c) + " holds several points");
    const double idx = cells->values[b];
    if (!is_index_value(idx, vn))
      return fail(plyPath, "range_grid cell " + std::to_string(c) + " holds " + number_text(idx) +
                               ", not a vertex index below " + std::to_string(vn));
    const int v = static_cast<int>(idx);
    if (used[v]) return fail(plyPath, "vertex " + std::to_string(v) + " sits in two grid cells");
    used[v] = 1;
    out.set_cellVertex(static_cast<int>(c / cols), static_cast<int>(c % cols), v);
  }
  out.enable_vFlag();
  rge = std::move(out);
  return RETVAL_SUCCESS;
}

RetVal read_scan_pose_list(const std::string& confPath, ScanPoseList& list) {
  std::ifstream in;
  std::string error;
  if (!open_input_file(confPath, kMaxPoseListBytes, in, error)) return fail(confPath, error);
  ScanPoseList out;
  std::string line;
  int lineNo = 0;
  for (LineRead r; (r = read_bounded_line(in, kMaxPoseLine, line)) != LineRead::End;) {
    ++lineNo;
    if (r == LineRead::TooLong) return fail(confPath, "line " + std::to_string(lineNo) + " is too long");
    std::istringstream ls(line);
    std::string key;
    if (!(ls >> key) || key[0] == '#') continue;
    const std::string where = "line " + std::to_string(lineNo);
    if (key == "camera") {
      if (!parse_pose(ls, out.camera)) return fail(confPath, where + ": bad camera pose");
    } else if (key == "bmesh") {
      ScanPose s;
      if (!(ls >> s.file) || !parse_pose(ls, s.pose))
        return fail(confPath, where + ": bad bmesh line");
      out.scans.push_back(std::move(s));
    } else {
      return fail(confPath, where + ": unknown keyword " + key);
    }
  }
  if (out.scans.empty()) return fail(confPath, "pose list names no scan");
  list = std::move(out);
  return RETVAL_SUCCESS;
}

RetVal read_range_scans(const std::string& confPath, std::vector<RangeData>& frames) {
  ScanPoseList list;
  if (read_scan_pose_list(confPath, list) != RETVAL_SUCCESS) return RETVAL_FAILED;
  std::vector<RangeData> out(list.scans.size());
  const std::string dir = directory_of(confPath);
  for (std::size_t i = 0; i < list.scans.size(); ++i) {
    if (read_range_scan(dir + list.scans[i].file, out[i]) != RETVAL_SUCCESS) return RETVAL_FAILED;
    out[i].set_rigidMatrix(list.scans[i].pose);
  }
  frames = std::move(out);
  return RETVAL_SUCCESS;
}

RetVal read_range_scan_with_pose(const std::string& plyPath, const std::string& confPath,
                                 RangeData& rge) {
  ScanPoseList list;
  if (read_scan_pose_list(confPath, list) != RETVAL_SUCCESS) return RETVAL_FAILED;
  const std::string name = file_name_of(plyPath);
  for (const auto& s : list.scans) {
    if (s.file != name) continue;
    RangeData out;
    if (read_range_scan(plyPath, out) != RETVAL_SUCCESS) return RETVAL_FAILED;
    out.set_rigidMatrix(s.pose);
    rge = std::move(out);
    return RETVAL_SUCCESS;
  }
  return fail(confPath, "no bmesh line for " + name);
}

}  // namespace TavoAlgorithm

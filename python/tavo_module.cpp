// Python module "tavoalgorithm": range-frame fusion, laser-line fusion, the
// range-scan reader and the mesh distance, with NumPy arrays in and out
// (float64 points of shape (n, 3), int32 faces of shape (m, 3), 4 x 4 poses),
// which Open3D's Vector3dVector / Vector3iVector take directly.
// The library's return codes become Python exceptions carrying the console
// lines the failing call wrote (they are still printed).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <deque>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "FusionMeshHelper.h"
#include "MeshDistance.h"
#include "RealTimeFusionCloudHelper.h"
#include "TavoVersion.h"
#include "geometry/RangeScanIO.h"
#include "geometry/TriMesh.h"

namespace py = pybind11;
using namespace TavoAlgorithm;

namespace {

using Points = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Faces = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;

// Collects what a call writes on std::cout (the library's default sink and the
// platform's located lines both end there), passes it on when done, and keeps
// the error lines for the exception.
class CapturedLines {
 public:
  CapturedLines() : m_old(std::cout.rdbuf(m_buffer.rdbuf())) {}
  ~CapturedLines() { release(); }
  std::string errors() {
    release();
    std::istringstream in(m_text);
    std::string line, out;
    while (std::getline(in, line))
      if (line.find("Error") != std::string::npos) out += (out.empty() ? "" : "\n") + line;
    return out;
  }

 private:
  void release() {
    if (!m_old) return;
    std::cout.rdbuf(m_old);
    m_old = nullptr;
    m_text = m_buffer.str();
    std::cout << m_text << std::flush;
  }
  std::ostringstream m_buffer;
  std::streambuf* m_old;
  std::string m_text;
};

template <typename Error>
[[noreturn]] void raise(CapturedLines& lines, const std::string& what, int code) {
  std::string errors = lines.errors();
  throw Error(what + " failed (return code " + std::to_string(code) + ")" + (errors.empty() ? "" : ": " + errors));
}

RigidMatrix pose_from(const py::array_t<double, py::array::c_style | py::array::forcecast>& m) {
  if (m.ndim() != 2 || m.shape(0) != 4 || m.shape(1) != 4) throw py::value_error("pose must be a 4 x 4 array");
  Eigen::Matrix4d M;
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) M(r, c) = m.at(r, c);
  if (!M.allFinite()) throw py::value_error("pose must be finite");
  return RigidMatrix::from_matrix4(M);
}

py::array_t<double> pose_to(const RigidMatrix& p) {
  const Eigen::Matrix4d M = p.to_matrix4();
  py::array_t<double> out({4, 4});
  auto m = out.mutable_unchecked<2>();
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) m(r, c) = M(r, c);
  return out;
}

py::array_t<double> points_to(const std::vector<Eigen::Vector3f>& pts) {
  py::array_t<double> out({static_cast<py::ssize_t>(pts.size()), py::ssize_t(3)});
  auto m = out.mutable_unchecked<2>();
  for (std::size_t i = 0; i < pts.size(); ++i)
    for (int k = 0; k < 3; ++k) m(i, k) = pts[i][k];
  return out;
}

std::vector<Eigen::Vector3f> points_from(const Points& a, const char* name) {
  if (a.ndim() != 2 || a.shape(1) != 3) throw py::value_error(std::string(name) + " must have shape (n, 3)");
  std::vector<Eigen::Vector3f> pts(a.shape(0));
  auto m = a.unchecked<2>();
  for (py::ssize_t i = 0; i < a.shape(0); ++i) pts[i] = Eigen::Vector3d(m(i, 0), m(i, 1), m(i, 2)).cast<float>();
  return pts;
}

BaseTriMesh mesh_from(const Points& vertices, const Faces& faces) {
  BaseTriMesh mesh;
  mesh.set_vCoords(points_from(vertices, "vertices"));
  if (faces.ndim() != 2 || faces.shape(1) != 3) throw py::value_error("faces must have shape (m, 3)");
  auto f = faces.unchecked<2>();
  std::vector<BaseTriFace> tri(faces.shape(0));
  for (py::ssize_t i = 0; i < faces.shape(0); ++i) tri[i] = BaseTriFace(f(i, 0), f(i, 1), f(i, 2));
  mesh.set_faces(std::move(tri));
  if (!mesh.faces_valid()) throw py::value_error("a face index lies outside the vertices");
  return mesh;
}

// Live vertices and faces only, renumbered, as (vertices, faces).
py::tuple mesh_to(BaseTriMesh mesh) {
  mesh.squeeze();
  Faces faces({static_cast<py::ssize_t>(mesh.get_fn()), py::ssize_t(3)});
  auto f = faces.mutable_unchecked<2>();
  for (int i = 0; i < mesh.get_fn(); ++i)
    for (int k = 0; k < 3; ++k) f(i, k) = mesh.get_face(i)[k];
  return py::make_tuple(points_to(mesh.get_vCoords()), faces);
}

// An organised frame: a (rows, cols, 3) grid of points, NaN where a cell is
// empty, in the frame's own coordinates, with the pose into the model frame.
RangeData frame_from(const Points& grid, const RigidMatrix& pose, const Eigen::Vector3f& sensorDir) {
  if (grid.ndim() != 3 || grid.shape(2) != 3) throw py::value_error("grid must have shape (rows, cols, 3)");
  if (grid.shape(0) < 1 || grid.shape(1) < 1) throw py::value_error("grid must have at least one cell");
  RangeData f;
  const int rows = static_cast<int>(grid.shape(0)), cols = static_cast<int>(grid.shape(1));
  f.set_grid_size(rows, cols);
  auto g = grid.unchecked<3>();
  for (int r = 0; r < rows; ++r)
    for (int c = 0; c < cols; ++c) {
      const Eigen::Vector3d p(g(r, c, 0), g(r, c, 1), g(r, c, 2));
      if (p.allFinite()) f.set_cellVertex(r, c, f.add_vCoord(p.cast<float>()));
    }
  f.set_rigidMatrix(pose);
  f.set_sensorDir(sensorDir);
  return f;
}

py::array_t<double> grid_to(const RangeData& f) {
  py::array_t<double> out({static_cast<py::ssize_t>(f.get_rows()), static_cast<py::ssize_t>(f.get_cols()), py::ssize_t(3)});
  auto m = out.mutable_unchecked<3>();
  for (int r = 0; r < f.get_rows(); ++r)
    for (int c = 0; c < f.get_cols(); ++c) {
      const int v = f.get_cellVertex(r, c);
      for (int k = 0; k < 3; ++k)
        m(r, c, k) = v >= 0 ? double(f.get_vCoord(v)[k]) : std::numeric_limits<double>::quiet_NaN();
    }
  return out;
}

// Owns the frames, which the helper borrows until clear_all.
class PyFusionMesh {
 public:
  PyFusionMesh(float voxelSize, float clipZ, int sampleStep) {
    if (!(voxelSize > 0.f) || !std::isfinite(voxelSize)) throw py::value_error("voxel_size must be positive");
    if (sampleStep < 0) throw py::value_error("sample_step must not be negative");
    DentalFusionMeshParam p;
    p.voxelSize = voxelSize;
    p.clipZ = clipZ;
    p.sampleStep = sampleStep;
    std::string text;
    CapturedLines lines;
    const RetVal rc = m_helper.set_param(p, text);
    if (rc != RETVAL_SUCCESS) {
      const std::string errors = lines.errors();
      throw py::value_error("set_param: " + (text.empty() ? errors : text));
    }
  }
  void send_frame(const Points& grid, const py::array_t<double, py::array::c_style | py::array::forcecast>& pose,
                  const std::array<double, 3>& sensorDir) {
    const RigidMatrix p = pose_from(pose);
    m_frames.push_back(frame_from(grid, p, Eigen::Vector3d(sensorDir[0], sensorDir[1], sensorDir[2]).cast<float>()));
    m_helper.send_rangeData(&m_frames.back(), RigidMatrix(), false, false);
  }
  py::tuple mesh() {
    BaseTriMesh out;
    CapturedLines lines;
    const RetVal rc = m_helper.get_triMesh(out);
    if (rc != RETVAL_SUCCESS) raise<std::runtime_error>(lines, "get_triMesh", rc);
    return mesh_to(std::move(out));
  }
  void clear() {
    CapturedLines lines;
    const RetVal rc = m_helper.clear_all();
    if (rc != RETVAL_SUCCESS) raise<std::runtime_error>(lines, "clear_all", rc);
    m_frames.clear();
  }
  int frame_count() const { return m_helper.frame_count(); }

 private:
  FusionMeshHelper m_helper;
  std::deque<RangeData> m_frames;
};

class PyLaserCloud {
 public:
  PyLaserCloud(float voxelSize, float fusionRadius, float extendRadius, bool doubleVoxel)
      : m_helper(voxelSize, fusionRadius, extendRadius, doubleVoxel) {}
  void fuse_lines(const std::vector<Points>& lines, const py::array_t<double, py::array::c_style | py::array::forcecast>& pose) {
    const RigidMatrix p = pose_from(pose);
    std::vector<Cloud> clouds(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) clouds[i].set_vCoords(points_from(lines[i], "line"));
    CapturedLines captured;
    const RetVal rc = m_helper.fusion_one_laser(clouds, p);
    if (rc != RETVAL_SUCCESS) raise<std::runtime_error>(captured, "fusion_one_laser", rc);
  }
  // (ids, points, deleted) of the points changed since the previous call.
  py::tuple changed() {
    std::vector<int> ids;
    const Cloud& cloud = m_helper.get_cloud(ids);
    std::vector<Eigen::Vector3f> pts(ids.size());
    py::array_t<bool> deleted(static_cast<py::ssize_t>(ids.size()));
    auto d = deleted.mutable_unchecked<1>();
    for (std::size_t i = 0; i < ids.size(); ++i) {
      pts[i] = cloud.get_vCoord(ids[i]);
      d(i) = cloud.get_vDeleted(ids[i]);
    }
    return py::make_tuple(py::array_t<std::int32_t>(static_cast<py::ssize_t>(ids.size()), ids.data()), points_to(pts),
                          deleted);
  }
  int frame_count() const { return m_helper.get_frame_count(); }
  int valid_count() const { return m_helper.get_valid_vids(); }

 private:
  RealTimeFusionCloudHelper m_helper;
};

py::dict summary_to(const sim::DistanceSummary& s) {
  py::dict d;
  d["samples"] = s.samples;
  d["mean"] = s.mean;
  d["p95"] = s.p95;
  d["max"] = s.max;
  return d;
}

}  // namespace

PYBIND11_MODULE(tavoalgorithm, m) {
  m.doc() = "TavoAlgorithm: range-frame and laser-line fusion for 3D scanners";
  m.attr("__version__") = library_version();

  py::class_<PyFusionMesh>(m, "FusionMeshHelper",
                           "Fuses organised range frames into one triangle mesh (TSDF and marching cubes). "
                           "Units are those of the frames; voxel_size is the voxel edge in them.")
      .def(py::init<float, float, int>(), py::arg("voxel_size"),
           py::arg("clip_z") = -std::numeric_limits<float>::max(), py::arg("sample_step") = 0)
      .def("send_frame", &PyFusionMesh::send_frame, py::arg("grid"), py::arg("pose"),
           py::arg("sensor_dir") = std::array<double, 3>{0.0, 0.0, 1.0},
           "grid: (rows, cols, 3) points in the frame's coordinates, NaN for empty cells; pose: 4 x 4 "
           "transform into the model frame; sensor_dir: toward the scanner, in the frame's coordinates.")
      .def("mesh", &PyFusionMesh::mesh, "Integrates what is pending and returns (vertices (n, 3), faces (m, 3)).")
      .def("clear", &PyFusionMesh::clear)
      .def_property_readonly("frame_count", &PyFusionMesh::frame_count);

  py::class_<PyLaserCloud>(m, "RealTimeFusionCloudHelper",
                           "Fuses laser lines into a point cloud whose points keep their ids.")
      .def(py::init<float, float, float, bool>(), py::arg("voxel_size"), py::arg("fusion_radius"),
           py::arg("extend_radius"), py::arg("use_double_voxel") = false)
      .def("fuse_lines", &PyLaserCloud::fuse_lines, py::arg("lines"), py::arg("pose"),
           "lines: list of (n, 3) points of one frame; pose: 4 x 4 transform into the model frame.")
      .def("changed", &PyLaserCloud::changed,
           "(ids int32, points (k, 3), deleted bool) of the points changed since the previous call.")
      .def_property_readonly("frame_count", &PyLaserCloud::frame_count)
      .def_property_readonly("valid_count", &PyLaserCloud::valid_count);

  m.def(
      "read_range_scans",
      [](const std::string& conf) {
        std::vector<RangeData> frames;
        CapturedLines lines;
        const RetVal rc = read_range_scans(conf, frames);
        if (rc != RETVAL_SUCCESS) raise<py::value_error>(lines, "read_range_scans(" + conf + ")", rc);
        py::list out;
        for (const RangeData& f : frames) {
          const Eigen::Vector3f d = f.get_sensorDir();
          out.append(py::make_tuple(grid_to(f), pose_to(f.get_rigidMatrix()), py::make_tuple(d.x(), d.y(), d.z())));
        }
        return out;
      },
      py::arg("conf"),
      "Reads a \".conf\" pose list and its PLY range scans: a list of (grid (rows, cols, 3) with NaN for "
      "empty cells, 4 x 4 pose, sensor direction), ready for FusionMeshHelper.send_frame.");

  m.def(
      "write_mesh",
      [](const std::string& path, const Points& vertices, const Faces& faces) {
        const BaseTriMesh mesh = mesh_from(vertices, faces);
        CapturedLines lines;
        if (!write_mesh(mesh, path)) raise<py::value_error>(lines, "write_mesh(" + path + ")", RETVAL_FAILED);
      },
      py::arg("path"), py::arg("vertices"), py::arg("faces"), "Writes the mesh by file extension (.ply, .obj, .stl, .off).");

  m.def(
      "mesh_distance",
      [](const Points& fromV, const Faces& fromF, const Points& toV, const Faces& toF) {
        const BaseTriMesh from = mesh_from(fromV, fromF), to = mesh_from(toV, toF);
        sim::MeshDistanceStats d;
        {
          py::gil_scoped_release free;
          d = sim::mesh_distance(from, to);
        }
        return py::make_tuple(summary_to(d.forward), summary_to(d.backward));
      },
      py::arg("from_vertices"), py::arg("from_faces"), py::arg("to_vertices"), py::arg("to_faces"),
      "Vertex-to-surface distances both ways: (forward, backward) dicts of samples, mean, p95, max.");
}

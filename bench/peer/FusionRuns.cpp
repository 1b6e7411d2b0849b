#include "FusionRuns.h"

#include <omp.h>
#include <sys/wait.h>
#include <tbb/global_control.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include <open3d/camera/PinholeCameraIntrinsic.h>
#include <open3d/geometry/RGBDImage.h>
#include <open3d/geometry/TriangleMesh.h>
#include <open3d/pipelines/integration/ScalableTSDFVolume.h>

#include "FusionMeshHelper.h"
#include "fusion/TsdfVolume.h"

namespace TavoAlgorithm::bench {
namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double cpu_ms() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return 1e3 * static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_nsec);
}

// kB value of a /proc/self/status line such as "VmHWM:".
double status_kib(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stod(line.substr(std::strlen(key)));
  return 0.0;
}

// Resets the high-water mark to the current resident size and returns it.
double reset_peak_kib() {
  std::ofstream("/proc/self/clear_refs") << "5";
  return status_kib("VmRSS:");
}

void limit_threads(int threads) { omp_set_num_threads(threads); }

void measure_accuracy(const TriangleSoup& fused, const RunSetup& s, RunResult& r) {
  r.toReference = summarize(point_to_surface(fused.points, s.reference->surface), s.voxel);
  r.fromReference = summarize(point_to_surface(s.reference->surface.points, fused), s.voxel);
}

// Live faces and the vertices they use.
TriangleSoup soup_of(const BaseTriMesh& mesh) {
  TriangleSoup out;
  std::vector<int> map(static_cast<std::size_t>(mesh.get_vn()), -1);
  for (int f = 0; f < mesh.get_fn(); ++f) {
    if (mesh.get_fDeleted(f)) continue;
    std::array<int, 3> t{};
    for (int k = 0; k < 3; ++k) {
      const int v = mesh.get_face(f).v[k];
      int& m = map[static_cast<std::size_t>(v)];
      if (m < 0) {
        m = static_cast<int>(out.points.size());
        out.points.push_back(mesh.get_vCoord(v));
      }
      t[k] = m;
    }
    out.faces.push_back(t);
  }
  return out;
}

TriangleSoup soup_of(const open3d::geometry::TriangleMesh& mesh) {
  TriangleSoup out;
  out.points.reserve(mesh.vertices_.size());
  for (const auto& v : mesh.vertices_) out.points.push_back(v.cast<float>());
  for (const auto& t : mesh.triangles_) out.faces.push_back({t[0], t[1], t[2]});
  return out;
}

long long used_voxels(const TsdfVolume& v) {
  long long n = 0;
  for (int i = 0; i < v.octree().leaf_slots_in_use(); ++i) n += v.octree().element_at(i).is_used() ? 1 : 0;
  return n;
}

// Ours -> Open3D camera: our camera looks down -z with +y up, Open3D's down
// +z with +y down, and Open3D wants world-to-camera.
Eigen::Matrix4d open3d_extrinsic(const RigidMatrix& cameraToWorld) {
  Eigen::Matrix4d T = Eigen::Matrix4d::Identity();
  T.topLeftCorner<3, 3>() = cameraToWorld.get_rotation();
  T.topRightCorner<3, 1>() = cameraToWorld.get_translation();
  const Eigen::Matrix4d flip = Eigen::Vector4d(1, -1, -1, 1).asDiagonal();
  return flip * T.inverse();
}

class Open3dFusion {
 public:
  explicit Open3dFusion(const RunSetup& s)
      : m_setup(s),
        m_volume(s.voxel, s.sdfTrunc, open3d::pipelines::integration::TSDFVolumeColorType::NoColor) {}

  void integrate(const FrameSet& set) {
    for (std::size_t i = 0; i < set.frames.size(); ++i) {
      const bool own = i < set.cameras.size();
      const sim::Camera& cam = own ? set.cameras[i] : m_setup.camera;
      open3d::geometry::RGBDImage rgbd;
      rgbd.depth_.Prepare(cam.cols, cam.rows, 1, 4);
      std::memcpy(rgbd.depth_.data_.data(), set.depths[i].data(), set.depths[i].size() * sizeof(float));
      const open3d::camera::PinholeCameraIntrinsic intrinsic(cam.cols, cam.rows, cam.fx, cam.fy, cam.cx, cam.cy);
      m_volume.Integrate(rgbd, intrinsic, open3d_extrinsic(own ? cam.pose : set.frames[i].get_rigidMatrix()));
    }
  }
  std::shared_ptr<open3d::geometry::TriangleMesh> extract() { return m_volume.ExtractTriangleMesh(); }
  long long voxels() const {
    const long long r = m_volume.volume_unit_resolution_;
    return static_cast<long long>(m_volume.volume_units_.size()) * r * r * r;
  }

 private:
  const RunSetup& m_setup;
  open3d::pipelines::integration::ScalableTSDFVolume m_volume;
};

}  // namespace

RunResult run_ours(const RunSetup& s) {
  limit_threads(s.threads);
  tbb::global_control tbbThreads(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(s.threads));
  RunResult r;
  const double baseKiB = reset_peak_kib();
  FusionMeshHelper helper;
  DentalFusionMeshParam param;
  param.voxelSize = s.voxel;
  param.clipZ = -1e30f;  // keep every point
  param.sampleStep = s.sampleStep;
  const bool sample = s.sampleStep > 0;
  std::string error;
  if (helper.set_param(param, error) != RETVAL_SUCCESS) return r;
  const std::size_t n = s.frames->frames.size();
  std::vector<const RangeData*> frames;
  for (const RangeData& f : s.frames->frames) frames.push_back(&f);
  const double cpu0 = cpu_ms();
  auto t0 = Clock::now();
  helper.send_rangeData(frames, std::vector<RigidMatrix>(n), std::vector<bool>(n, false), sample);
  helper.add_to_tsdf();
  r.integrateMs = ms_since(t0);
  BaseTriMesh mesh;
  t0 = Clock::now();
  if (helper.get_triMesh(mesh) != RETVAL_SUCCESS) return r;
  r.extractMs = ms_since(t0);
  r.cpuMs = cpu_ms() - cpu0;
  r.peakMiB = (status_kib("VmHWM:") - baseKiB) / 1024.0;
  r.voxels = used_voxels(*helper.volume());
  for (int f = 0; f < mesh.get_fn(); ++f) r.faces += mesh.get_fDeleted(f) ? 0 : 1;
  if (s.extra) {
    BaseTriMesh after;
    t0 = Clock::now();
    helper.send_rangeData(&s.extra->frames.front(), RigidMatrix(), false, sample);
    helper.get_triMesh(after);
    r.addFrameMs = ms_since(t0);
    t0 = Clock::now();
    helper.pop_rangeData();
    helper.get_triMesh(after);
    r.popFrameMs = ms_since(t0);
  }
  if (s.accuracy) measure_accuracy(soup_of(mesh), s, r);
  r.ok = true;
  return r;
}

RunResult run_open3d(const RunSetup& s) {
  limit_threads(s.threads);
  tbb::global_control tbbThreads(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(s.threads));
  RunResult r;
  const double baseKiB = reset_peak_kib();
  std::shared_ptr<open3d::geometry::TriangleMesh> mesh;
  {
    Open3dFusion fusion(s);
    const double cpu0 = cpu_ms();
    auto t0 = Clock::now();
    fusion.integrate(*s.frames);
    r.integrateMs = ms_since(t0);
    t0 = Clock::now();
    mesh = fusion.extract();
    r.extractMs = ms_since(t0);
    r.cpuMs = cpu_ms() - cpu0;
    r.peakMiB = (status_kib("VmHWM:") - baseKiB) / 1024.0;
    r.voxels = fusion.voxels();
    r.faces = static_cast<long long>(mesh->triangles_.size());
  }
  if (s.extra) {
    // Without removal the peer's only road to one more (or one fewer) frame
    // is fusing the whole list again.
    auto t0 = Clock::now();
    Open3dFusion again(s);
    again.integrate(*s.frames);
    again.integrate(*s.extra);
    again.extract();
    r.addFrameMs = ms_since(t0);
    r.popFrameMs = r.integrateMs + r.extractMs;
  }
  if (s.accuracy) measure_accuracy(soup_of(*mesh), s, r);
  r.ok = true;
  return r;
}

RunResult run_isolated(const std::function<RunResult()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid < 0) return {};
  if (pid == 0) {
    close(fds[0]);
    const RunResult r = body();
    const ssize_t w = write(fds[1], &r, sizeof r);
    _exit(w == static_cast<ssize_t>(sizeof r) ? 0 : 1);
  }
  close(fds[1]);
  RunResult r;
  std::size_t got = 0;
  while (got < sizeof r) {
    const ssize_t k = read(fds[0], reinterpret_cast<char*>(&r) + got, sizeof r - got);
    if (k <= 0) break;
    got += static_cast<std::size_t>(k);
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (got != sizeof r || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return r;
}

bool restart_with_threads(int threads, char** argv) {
  const std::string want = std::to_string(threads);
  const char* have = std::getenv("OMP_NUM_THREADS");
  if (have && want == have) return true;
  setenv("OMP_NUM_THREADS", want.c_str(), 1);
  execv("/proc/self/exe", argv);
  return false;
}

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  return "unknown CPU";
}

std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

}  // namespace TavoAlgorithm::bench

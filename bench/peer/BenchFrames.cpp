#include "BenchFrames.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include "geometry/TriMesh.h"

namespace TavoAlgorithm::bench {
namespace {

constexpr float kMetresToMm = 1000.f;

void fill_surface(const BaseTriMesh& mesh, ReferenceObject& out) {
  out.surface.points.assign(mesh.get_vCoords().begin(), mesh.get_vCoords().end());
  for (int f = 0; f < mesh.get_fn(); ++f) {
    if (mesh.get_fDeleted(f)) continue;
    const BaseTriFace& t = mesh.get_face(f);
    out.surface.faces.push_back({t.v[0], t.v[1], t.v[2]});
  }
  Eigen::AlignedBox3f box;
  for (const auto& p : out.surface.points) box.extend(p);
  out.center = box.center();
  out.radius = 0.f;
  for (const auto& p : out.surface.points) out.radius = std::max(out.radius, (p - out.center).norm());
  out.scene.meshes.emplace_back(mesh);
}

}  // namespace

ReferenceObject load_reference(const std::string& dataDir) {
  ReferenceObject out;
  const std::string path = dataDir + "/bunny-scans/bun_zipper_res2.ply";
  BaseTriMesh mesh;
  if (!dataDir.empty() && std::ifstream(path).good() && read_mesh(mesh, path) && mesh.get_fn() > 0) {
    for (int i = 0; i < mesh.get_vn(); ++i) mesh.set_vCoord(i, mesh.get_vCoord(i) * kMetresToMm);
    out.name = "bunny (bun_zipper_res2)";
  } else {
    // About the bunny's size, so that voxel counts compare.
    mesh = sim::make_lumpy_sphere(Eigen::Vector3f::Zero(), 75.f, 0.15f, 5);
    out.name = "lumpy sphere (built-in)";
  }
  fill_surface(mesh, out);
  return out;
}

ReferenceObject load_reference_mesh(const std::string& path, float scale) {
  ReferenceObject out;
  out.name = path.substr(path.find_last_of('/') + 1);
  BaseTriMesh mesh;
  if (!std::ifstream(path).good() || !read_mesh(mesh, path)) return out;
  for (int i = 0; i < mesh.get_vn(); ++i) mesh.set_vCoord(i, mesh.get_vCoord(i) * scale);
  fill_surface(mesh, out);
  return out;
}

ReferenceObject reference_from_soup(const TriangleSoup& soup, const std::string& name) {
  BaseTriMesh mesh;
  mesh.set_vCoords(std::vector<Eigen::Vector3f>(soup.points));
  std::vector<BaseTriFace> faces;
  for (const std::array<int, 3>& t : soup.faces) faces.emplace_back(t[0], t[1], t[2]);
  mesh.set_faces(std::move(faces));
  ReferenceObject out;
  out.name = name;
  fill_surface(mesh, out);
  return out;
}

FrameSet sphere_frames(const ReferenceObject& object, const sim::Camera& camera, int count, float distance,
                       float noiseSigma, float phase) {
  FrameSet set;
  set.frames.resize(static_cast<std::size_t>(count));
  set.depths.resize(static_cast<std::size_t>(count));
  const float golden = static_cast<float>(M_PI) * (3.f - std::sqrt(5.f));
  auto one = [&](int i) {
    const float z = 1.f - 2.f * (static_cast<float>(i) + 0.5f + phase) / static_cast<float>(count);
    const float r = std::sqrt(std::max(0.f, 1.f - z * z));
    const float a = golden * static_cast<float>(i) + 2.f * static_cast<float>(M_PI) * phase;
    const Eigen::Vector3f dir(r * std::cos(a), z, r * std::sin(a));  // y up, as the bunny stands
    sim::Camera cam = camera;
    cam.pose = sim::look_at(object.center + distance * dir, object.center);
    RangeData& f = set.frames[static_cast<std::size_t>(i)];
    f = sim::render_range_frame(object.scene, cam);
    if (noiseSigma > 0.f) sim::add_depth_noise(f, noiseSigma, distance, 1000u + static_cast<unsigned>(i));
    set.depths[static_cast<std::size_t>(i)] = sim::depth_image(f);
  };
  // Plain threads, not TBB or OpenMP: the runs fork afterwards, and neither
  // pool survives a fork.
  std::atomic<int> next{0};
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < std::max(1u, std::thread::hardware_concurrency()); ++t)
    workers.emplace_back([&] {
      for (int i = next++; i < count; i = next++) one(i);
    });
  for (std::thread& w : workers) w.join();
  return set;
}

}  // namespace TavoAlgorithm::bench

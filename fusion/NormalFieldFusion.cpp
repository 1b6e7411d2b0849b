#include "NormalFieldFusion.h"

#include <atomic>
#include <ctime>
#include <mutex>

#include "Parallel.h"
#include "common/console.h"
#include "common/trace/Trace.h"
#include "fusion/NormalFieldVolume.h"
#include "fusion/TsdfVolume.h"
#include "meshproc/refine_marching_cube.h"

namespace TavoAlgorithm {
namespace {

constexpr int kNormalFieldDepth = 13;

// Reports only rising values, so that phases whose marks overlap (the
// extraction after a pass that already ended at 100) never go backwards.
class RisingProgress {
 public:
  explicit RisingProgress(std::function<int(int)> f) : m_report(std::move(f)) {}
  explicit operator bool() const { return static_cast<bool>(m_report); }
  void operator()(int value) {
    if (!m_report) return;
    std::lock_guard<std::mutex> g(m_lock);
    if (value <= m_last) return;
    m_last = value;
    m_report(value);
  }

 private:
  std::function<int(int)> m_report;
  std::mutex m_lock;
  int m_last = -1;
};

// One progress phase over `items` items: span percent from base.
class Phase {
 public:
  Phase(RisingProgress& progress, int span, int base, std::size_t items)
      : m_progress(progress), m_span(span), m_base(base) {
    m_count = get_proc_bar_number(span, static_cast<int>(items), m_marks);
  }
  PhaseItemDone done() {
    if (!m_progress) return {};
    return [this] {
      process_bar_run(m_done, m_marks, m_span, m_count, m_base, [this](int v) { m_progress(v); });
    };
  }

 private:
  RisingProgress& m_progress;
  int m_span, m_base, m_count = 0;
  std::vector<int> m_marks;
  std::atomic<int> m_done{0};
};

template <typename V>
void extract_into(const NormalFieldVolume<V>& volume, float vs, bool useEMC, BaseTriMesh& mesh,
                  std::vector<int>& axes, RisingProgress& progress) {
  volume.extract(mesh, axes);
  progress(70);
  if (useEMC) {
    refine_marching_cube(mesh, vs, axes);
    std::vector<int> newIndex;
    mesh.squeeze(&newIndex);
    std::vector<int> kept(static_cast<std::size_t>(mesh.get_vn()), 0);
    for (std::size_t i = 0; i < newIndex.size() && i < axes.size(); ++i)
      if (newIndex[i] >= 0 && newIndex[i] < static_cast<int>(kept.size())) kept[newIndex[i]] = axes[i];
    axes = std::move(kept);
  }
  progress(100);
}

}  // namespace

void fusion_all_frame_normal_field(std::vector<Cloud>& vecPtCloudSet, const std::vector<RigidMatrix>& vecRT,
                                   const float& pointdis, BaseTriMesh& resultMesh,
                                   std::vector<int>& vecPointLineIndex, bool variant, bool useEMC,
                                   std::function<int(int)> progress) {
  // Replay reads into these copies, so the constant arguments can be replayed.
  std::vector<RigidMatrix> poses = vecRT;
  float vs = pointdis;
  trace("fusion_all_frame_normal_field", vecPtCloudSet, "vecPtCloudSet", poses, "vecRT", vs, "pointdis", resultMesh,
        "resultMesh", vecPointLineIndex, "vecPointLineIndex", useEMC, "useEMC");
  resultMesh.clear();
  vecPointLineIndex.clear();
  if (poses.size() != vecPtCloudSet.size()) return;
  if (!(vs > 0.f)) vs = kTsdfDefaultVoxelSize;

  std::vector<NormalFieldFrame> frames(vecPtCloudSet.size());
  for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = {&vecPtCloudSet[i], poses[i]};
  RisingProgress report(std::move(progress));

  auto run = [&](auto& volume) {
    using Volume = std::remove_reference_t<decltype(volume)>;
    const std::size_t items = Volume::item_count(frames);
    if (!frames.empty() && !volume.has_voxels()) volume.set_origin_from(frames.front());
    if (!variant) {
      if (!frames.empty()) {
        console::message("fusion normal...");
        std::clock_t t = std::clock();
        Phase normals(report, 50, 0, items);
        volume.fuse_normals(frames, 0.3f, normals.done());
        console::elapsed_ms("fusion normal cost: ", t);
        console::message("fusion normal normalize ...");
        volume.normalise();
        console::message("get veriance ...");
        t = std::clock();
        Phase deviation(report, 10, 50, items);
        volume.measure_deviation(frames, deviation.done());
        console::elapsed_ms("get veriance cost: ", t);
        console::message("fusion tsdf ...");
        t = std::clock();
        Phase distances(report, 40, 60, items);
        volume.fuse_distances(frames, 0.3f, distances.done());
        console::elapsed_ms("fusion tsdf cost: ", t);
      }
    } else if (!frames.empty()) {
      Phase normals(report, 70, 0, items);
      volume.fuse_normals(frames, 0.5f, normals.done());
      volume.normalise();
      Phase deviation(report, 20, 70, items);
      volume.measure_deviation(frames, deviation.done());
      volume.offsets_to_distances();
    }
    extract_into(volume, vs, useEMC, resultMesh, vecPointLineIndex, report);
  };
  if (variant) {
    NormalFieldVolume<NormalOffsetVoxel> volume(kNormalFieldDepth, vs);
    run(volume);
  } else {
    NormalFieldVolume<NormalFieldVoxel> volume(kNormalFieldDepth, vs);
    run(volume);
  }
}

}  // namespace TavoAlgorithm

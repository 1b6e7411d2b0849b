// Fusion of real range scans, ours against Open3D's ScalableTSDFVolume, as a
// Pareto comparison of time against accuracy. Our FusionMeshHelper receives
// the scans of a pose list as they are (voxel sizes x sample steps); Open3D
// receives per scan the depth image of its triangulated range grid in a
// virtual pinhole camera (peer/ScanDepthImages.h), voxel sizes x truncations,
// as a user would tune it. Both sides run alternately in the same sitting,
// each run in its own child process; times are medians of the repeats.
// Accuracy: fused vertices to the reference surface (p95 is the accuracy
// level) and reference vertices to the fused surface.
//
// bench_fusion_real [--scans CONF] [--reference MESH] [--scale S] [--out DIR]
//                   [--threads N] [--voxels 0.5,1,2] [--steps 0,2,4]
//                   [--truncs 1.5,2,3] [--repeat K] [--max-edge E] [--pixel P]
//                   [--only ours|open3d]   (one side alone, for profiling)
// CONF defaults to $TAVO_TEST_DATA_DIR (or ../shared/data)/bunny-scans/bun.conf;
// MESH to bun_zipper_res2.ply next to it, else the triangulated scans
// themselves. S scales scan units to mm (default 1000). E: longest kept
// triangle edge, P: pixel size, both in median grid spacings (4 and 1).
#include <open3d/Open3DConfig.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "geometry/RangeScanIO.h"
#include "peer/FusionRuns.h"
#include "peer/ScanDepthImages.h"

using namespace TavoAlgorithm;
using namespace TavoAlgorithm::bench;
namespace fs = std::filesystem;

namespace {

struct Options {
  std::string scans, reference, out = "bench/results";
  float scale = 1000.f;
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  std::vector<float> voxels{0.5f, 1.f, 2.f};
  std::vector<float> steps{0.f, 2.f, 4.f};
  std::vector<float> truncs{1.5f, 2.f, 3.f};
  int repeat = 3;
  std::string only;  // "ours" or "open3d": one side alone, for profiling
  float maxEdge = 4.f, pixel = 1.f;
};

bool parse(int argc, char** argv, Options& o) {
  const char* data = std::getenv("TAVO_TEST_DATA_DIR");
  o.scans = std::string(data ? data : "../shared/data") + "/bunny-scans/bun.conf";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i], v = argv[i + 1];
    if (k == "--scans") o.scans = v;
    else if (k == "--reference") o.reference = v;
    else if (k == "--scale") o.scale = static_cast<float>(std::atof(v.c_str()));
    else if (k == "--out") o.out = v;
    else if (k == "--threads") o.threads = std::max(1, std::atoi(v.c_str()));
    else if (k == "--voxels") o.voxels = parse_list<float>(v);
    else if (k == "--steps") o.steps = parse_list<float>(v);
    else if (k == "--truncs") o.truncs = parse_list<float>(v);
    else if (k == "--only" && (v == "ours" || v == "open3d")) o.only = v;
    else if (k == "--repeat") o.repeat = std::max(1, std::atoi(v.c_str()));
    else if (k == "--max-edge") o.maxEdge = static_cast<float>(std::atof(v.c_str()));
    else if (k == "--pixel") o.pixel = static_cast<float>(std::atof(v.c_str()));
    else return false;
  }
  return argc % 2 == 1 && !o.voxels.empty() && !o.steps.empty() && !o.truncs.empty() && o.scale > 0.f &&
         o.pixel > 0.f;
}

// One point of the comparison: a side, its voxel and its own setting (our
// sample step, Open3D's truncation in voxels), with the median times.
struct Config {
  bool ours = true;
  float voxel = 1.f, setting = 0.f;
  RunResult result;  // times: medians of the repeats
  double totalMs = 0;
  std::vector<double> totals;
};

double median(std::vector<double> v) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  const std::size_t h = v.size() / 2;
  return v.size() % 2 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

std::string label(const Config& c) {
  char s[64];
  if (c.ours) std::snprintf(s, sizeof s, "ours, step %g", c.setting);
  else std::snprintf(s, sizeof s, "Open3D, trunc %g vx", c.setting);
  return s;
}

// Fastest configuration of one side whose p95 to the reference is at most
// `level`, by median wall or CPU time; null when none reaches it.
const Config* fastest_within(const std::vector<Config>& all, bool ours, double level, bool byCpu = false) {
  const Config* best = nullptr;
  auto time = [byCpu](const Config& c) { return byCpu ? c.result.cpuMs : c.totalMs; };
  for (const Config& c : all)
    if (c.ours == ours && c.result.toReference.p95 <= level && (!best || time(c) < time(*best))) best = &c;
  return best;
}

// The Open3D run of this voxel size with the best accuracy (the truncation a
// user would keep).
const Config* open3d_best(const std::vector<Config>& all, float voxel) {
  const Config* best = nullptr;
  for (const Config& c : all)
    if (!c.ours && c.voxel == voxel && (!best || c.result.toReference.p95 < best->result.toReference.p95)) best = &c;
  return best;
}

const Config* ours_at(const std::vector<Config>& all, float voxel, float step) {
  for (const Config& c : all)
    if (c.ours && c.voxel == voxel && c.setting == step) return &c;
  return nullptr;
}

void write_report(const Options& o, const std::string& header, const std::vector<Config>& all,
                  const std::string& path) {
  std::FILE* md = std::fopen(path.c_str(), "w");
  if (!md) return;
  std::fprintf(md, "# Real range scans: FusionMeshHelper against Open3D %s ScalableTSDFVolume\n\n%s\n\n", OPEN3D_VERSION,
               header.c_str());
  std::fprintf(md, "| voxel mm | configuration | integrate | extract | total | total CPU | peak MiB | faces | "
                   "to ref mean | to ref p95 | from ref mean | from ref p95 |\n"
                   "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Config& c : all) {
    const RunResult& x = c.result;
    const bool kept = !c.ours && open3d_best(all, c.voxel) == &c;
    std::fprintf(md, "| %g | %s%s | %.0f | %.0f | %.0f | %.0f | %.0f | %lld | %.3f | %.3f | %.3f | %.3f |\n", c.voxel,
                 label(c).c_str(), kept ? " (best)" : "", x.integrateMs, x.extractMs, c.totalMs, x.cpuMs, x.peakMiB,
                 x.faces, x.toReference.mean, x.toReference.p95, x.fromReference.mean, x.fromReference.p95);
  }
  std::fprintf(md, "\nFor each accuracy level Open3D reaches (its p95 to the reference), the fastest configuration "
                   "of each side reaching it (p95 at or below the level) and the ratio of Open3D's time to ours "
                   "(above 1: ours faster):\n\n"
                   "| level mm | Open3D fastest | ms | ours fastest | ms | Open3D / ours | CPU: Open3D / ours |\n"
                   "|---:|---|---:|---|---:|---:|---:|\n");
  std::vector<const Config*> levels;
  for (const Config& c : all)
    if (!c.ours) levels.push_back(&c);
  std::sort(levels.begin(), levels.end(),
            [](const Config* a, const Config* b) { return a->result.toReference.p95 < b->result.toReference.p95; });
  for (const Config* l : levels) {
    const double level = l->result.toReference.p95;
    const Config* peer = fastest_within(all, false, level);
    const Config* ours = fastest_within(all, true, level);
    char peerName[96], oursName[96] = "none";
    std::snprintf(peerName, sizeof peerName, "%g mm, %s", peer->voxel, label(*peer).c_str());
    if (ours) std::snprintf(oursName, sizeof oursName, "%g mm, %s", ours->voxel, label(*ours).c_str());
    char ratio[32] = "-", cpuRatio[32] = "-";
    if (ours) {
      std::snprintf(ratio, sizeof ratio, "%.2fx", peer->totalMs / ours->totalMs);
      // The fastest in CPU time may be another configuration than in wall time.
      const Config* oc = fastest_within(all, true, level, true);
      const Config* pc = fastest_within(all, false, level, true);
      std::snprintf(cpuRatio, sizeof cpuRatio, "%.2fx", pc->result.cpuMs / oc->result.cpuMs);
    }
    std::fprintf(md, "| %.3f | %s | %.0f | %s | %.0f | %s | %s |\n", level, peerName, peer->totalMs, oursName,
                 ours ? ours->totalMs : 0.0, ratio, cpuRatio);
  }
  std::fprintf(md, "\nEqual voxel size, every point (ours step 0) against Open3D's best truncation:\n\n"
                   "| voxel mm | ours ms | Open3D ms | Open3D / ours | CPU: Open3D / ours |\n|---:|---:|---:|---:|---:|\n");
  for (float v : o.voxels) {
    const Config *ours = ours_at(all, v, 0.f), *peer = open3d_best(all, v);
    if (ours && peer)
      std::fprintf(md, "| %g | %.0f | %.0f | %.2fx | %.2fx |\n", v, ours->totalMs, peer->totalMs,
                   peer->totalMs / ours->totalMs, peer->result.cpuMs / ours->result.cpuMs);
  }
  std::fclose(md);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr, "usage: bench_fusion_real [--scans CONF] [--reference MESH] [--scale S] [--out DIR] "
                         "[--threads N] [--voxels 0.5,1,2] [--steps 0,2,4] [--truncs 1.5,2,3] [--repeat K] "
                         "[--max-edge E] [--pixel P] [--only ours|open3d]\n");
    return 2;
  }
  if (!restart_with_threads(o.threads, argv)) {
    std::fprintf(stderr, "cannot restart with OMP_NUM_THREADS=%d\n", o.threads);
    return 1;
  }
  FrameSet set;
  if (read_range_scans(o.scans, set.frames) != RETVAL_SUCCESS || set.frames.empty()) {
    std::fprintf(stderr, "cannot read the scans of %s\n", o.scans.c_str());
    return 1;
  }
  TriangleSoup scansSoup;  // every scan's triangles in world coordinates
  long long points = 0, pixels = 0;
  for (RangeData& f : set.frames) {
    for (int i = 0; i < f.get_vn(); ++i) f.set_vCoord(i, f.get_vCoord(i) * o.scale);
    RigidMatrix pose = f.get_rigidMatrix();
    pose.set_translation(pose.get_translation() * static_cast<double>(o.scale));
    f.set_rigidMatrix(pose);
    const float spacing = median_grid_spacing(f);
    const TriangleSoup soup = triangulate_range_grid(f, o.maxEdge * spacing);
    Eigen::AlignedBox3f box;
    for (const Eigen::Vector3f& p : soup.points) box.extend(p);
    const float standOff = soup.points.empty() ? 1.f : 2.f * box.diagonal().norm();
    ScanDepthImage image = rasterise_scan(f, soup, o.pixel * spacing, standOff);
    long long valid = 0;
    for (float d : image.depth) valid += d > 0.f ? 1 : 0;
    std::printf("scan: %d points, grid spacing %.3f mm, %zu triangles, depth image %d x %d with %lld pixels\n",
                f.get_vn(), spacing, soup.faces.size(), image.camera.cols, image.camera.rows, valid);
    points += f.get_vn();
    pixels += valid;
    const int base = static_cast<int>(scansSoup.points.size());
    for (const Eigen::Vector3f& p : soup.points) scansSoup.points.push_back(pose * p);
    for (const std::array<int, 3>& t : soup.faces) scansSoup.faces.push_back({t[0] + base, t[1] + base, t[2] + base});
    set.cameras.push_back(image.camera);
    set.depths.push_back(std::move(image.depth));
  }
  if (o.reference.empty()) {
    const fs::path next = fs::path(o.scans).parent_path() / "bun_zipper_res2.ply";
    if (fs::exists(next)) o.reference = next.string();
  }
  const ReferenceObject ref = o.reference.empty() ? reference_from_soup(scansSoup, "the triangulated scans")
                                                  : load_reference_mesh(o.reference, o.scale);
  if (ref.surface.faces.empty()) {
    std::fprintf(stderr, "cannot read the reference %s\n", o.reference.c_str());
    return 1;
  }

  std::vector<Config> all;
  for (float v : o.voxels) {
    if (o.only != "open3d")
      for (float s : o.steps) all.push_back({true, v, s, {}, 0, {}});
    if (o.only != "ours")
      for (float t : o.truncs) all.push_back({false, v, t, {}, 0, {}});
  }
  const std::string loadBefore = load_average();
  // Repeats outermost, so that each configuration's runs spread over the
  // sitting and both sides meet the same load.
  std::vector<std::vector<RunResult>> runs(all.size());
  for (int k = 0; k < o.repeat; ++k)
    for (std::size_t i = 0; i < all.size(); ++i) {
      const Config& c = all[i];
      RunSetup s;
      s.voxel = c.voxel;
      s.threads = o.threads;
      s.frames = &set;
      s.reference = &ref;
      if (c.ours) s.sampleStep = static_cast<int>(c.setting);
      else s.sdfTrunc = c.setting * c.voxel;
      s.accuracy = k == 0;
      const RunResult r = run_isolated([&] { return c.ours ? run_ours(s) : run_open3d(s); });
      if (!r.ok) {
        std::fprintf(stderr, "run failed: %g mm, %s\n", c.voxel, label(c).c_str());
        return 1;
      }
      std::printf("repeat %d, %g mm, %s: %.0f + %.0f ms\n", k + 1, c.voxel, label(c).c_str(), r.integrateMs,
                  r.extractMs);
      std::fflush(stdout);
      runs[i].push_back(r);
    }
  const std::string loadAfter = load_average();
  for (std::size_t i = 0; i < all.size(); ++i) {
    Config& c = all[i];
    c.result = runs[i].front();  // the accuracy run
    std::vector<double> integ, extr, cpu, peak;
    for (const RunResult& r : runs[i]) {
      integ.push_back(r.integrateMs);
      extr.push_back(r.extractMs);
      cpu.push_back(r.cpuMs);
      peak.push_back(r.peakMiB);
      c.totals.push_back(r.integrateMs + r.extractMs);
    }
    c.result.integrateMs = median(integ);
    c.result.extractMs = median(extr);
    c.result.cpuMs = median(cpu);
    c.result.peakMiB = median(peak);
    c.totalMs = median(c.totals);
  }

  fs::create_directories(o.out);
  const std::string csvPath = o.out + "/fusion_real.csv", mdPath = o.out + "/fusion_real.md";
  std::FILE* csv = std::fopen(csvPath.c_str(), "w");
  if (!csv) {
    std::fprintf(stderr, "cannot write %s\n", csvPath.c_str());
    return 1;
  }
  std::fprintf(csv, "voxel_mm,side,setting,integrate_ms,extract_ms,total_ms,cpu_ms,peak_mib,faces,to_ref_mean,"
                    "to_ref_p95,from_ref_mean,from_ref_p95\n");
  for (const Config& c : all) {
    const RunResult& x = c.result;
    std::fprintf(csv, "%.3f,%s,%g,%.2f,%.2f,%.2f,%.2f,%.2f,%lld,%.4f,%.4f,%.4f,%.4f\n", c.voxel,
                 c.ours ? "ours" : "open3d", c.setting, x.integrateMs, x.extractMs, c.totalMs, x.cpuMs, x.peakMiB,
                 x.faces, x.toReference.mean, x.toReference.p95, x.fromReference.mean, x.fromReference.p95);
  }
  std::fclose(csv);
  char when[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
  std::ostringstream header;
  header << when << ", " << cpu_model() << ", " << o.threads << " threads for both sides, load average "
         << loadBefore << " before and " << loadAfter << " after. Scans: " << set.frames.size() << " of " << o.scans
         << " (" << points << " points, scaled by " << o.scale << " to mm); reference: " << ref.name
         << ". Ours: every scan as it is, sample steps as listed (0 = every point). Open3D: per scan a depth image "
            "of the triangulated range grid (edges over "
         << o.maxEdge << " grid spacings dropped) in a virtual pinhole camera in the scan's frame, pixel "
         << o.pixel << " grid spacing, depth exact at each pixel centre (" << pixels
         << " pixels with depth in all); unit resolution 16, depth sampling stride 4, truncation as listed. "
            "Times in ms: medians of "
         << o.repeat << " runs per configuration, the two sides alternating in one sitting; the depth images are "
                        "made beforehand and not timed. Accuracy in mm.";
  write_report(o, header.str(), all, mdPath);
  std::printf("wrote %s and %s\n", mdPath.c_str(), csvPath.c_str());
  return 0;
}

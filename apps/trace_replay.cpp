// Replays recorded FusionMeshHelper calls (send_rangeData.tb, get_triMesh.tb in
// a trace folder) into a fresh helper and reports the mesh it gives. The
// fusion parameters are not part of the recording, so they are options here.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "FusionMeshHelper.h"
#include "common/console.h"
#include "common/trace/ArchiveTypes.h"
#include "geometry/ArchiveConfig.h"
#include "geometry/TriMesh.h"

using namespace TavoAlgorithm;
namespace fs = std::filesystem;

namespace {

constexpr float kDefaultVoxel = 0.001f;

void print_usage() {
  std::printf(
      "usage: trace_replay [options] <trace folder>\n"
      "Replays send_rangeData and get_triMesh recordings into a fresh fusion helper.\n"
      "  --voxel <size>   voxel edge used when recording (default %g)\n"
      "  --step <n>       sample step used when recording (default 0)\n"
      "  --clip-z <z>     clip height used when recording (default: none)\n"
      "  --output <file>  write the replayed mesh (format by extension)\n"
      "  --help           this text\n",
      kDefaultVoxel);
}

bool parse_number(const char* text, double& out) {
  char* end = nullptr;
  out = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(out);
}

// A recording under the plain name, or one with time or thread suffixes.
bool has_recording(const fs::path& dir, const std::string& op, bool& suffixed) {
  suffixed = false;
  if (fs::exists(dir / (op + ".tb"))) return true;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    if (e.path().filename().string().rfind(op + ".", 0) == 0) return suffixed = true;
  return false;
}

int replay(int argc, char** argv) {
  DentalFusionMeshParam param;
  param.voxelSize = kDefaultVoxel;
  param.clipZ = -std::numeric_limits<float>::max();
  std::string dir, output;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      print_usage();
      return 0;
    }
    if (a == "--voxel" || a == "--step" || a == "--clip-z" || a == "--output") {
      if (i + 1 >= argc) {
        console::message("missing value after " + a);
        return 2;
      }
      const char* v = argv[++i];
      double x = 0;
      if (a == "--output") {
        output = v;
        continue;
      }
      const bool ok = parse_number(v, x) && (a != "--voxel" || x > 0) &&
                      (a != "--step" || (x >= 0 && x <= 1e6 && x == std::floor(x)));
      if (!ok) {
        console::message("bad value for " + a + ": " + v);
        return 2;
      }
      if (a == "--voxel") param.voxelSize = static_cast<float>(x);
      else if (a == "--step") param.sampleStep = static_cast<int>(x);
      else param.clipZ = static_cast<float>(x);
    } else if (!a.empty() && a[0] == '-') {
      console::message("unknown option " + a + " (see --help)");
      return 2;
    } else {
      dir = a;
    }
  }
  if (dir.empty() || !fs::is_directory(dir)) {
    console::message(dir.empty() ? "no trace folder given (see --help)" : "not a folder: " + dir);
    return 2;
  }
  bool sendSuffixed = false, meshSuffixed = false;
  const bool haveSend = has_recording(dir, "send_rangeData", sendSuffixed);
  const bool haveMesh = has_recording(dir, "get_triMesh", meshSuffixed);
  if (!haveSend && !haveMesh) {
    console::message("no send_rangeData or get_triMesh recording in " + dir);
    return 1;
  }

  gDAConfig.reset();
  gDAConfig.set_store_path(dir);
  gDAConfig.enable = true;  // record clear: replay mode
  FusionMeshHelper helper;
  std::string errorText;
  helper.set_param(param, errorText);

  int rc = 0;
  if (haveSend) {
    gDAConfig.timeStamp = sendSuffixed;
    if (helper.send_rangeData(std::vector<const RangeData*>(), std::vector<RigidMatrix>(), std::vector<bool>(),
                              std::vector<std::vector<float>>(), false)) {
      console::message("send_rangeData replayed: " + std::to_string(helper.frame_count()) + " frames");
    } else {
      console::message("replay of send_rangeData failed");
      rc = 1;
    }
  }
  // Without a get_triMesh recording the replayed frames are fused as they are.
  if (haveMesh) gDAConfig.timeStamp = meshSuffixed;
  else gDAConfig.enable = false;
  BaseTriMesh mesh;
  if (helper.get_triMesh(mesh) != RETVAL_SUCCESS) {
    console::message(haveMesh ? "replay of get_triMesh failed" : "fusion of the replayed frames failed");
    gDAConfig.reset();
    release_replay_frames();
    return 1;
  }
  gDAConfig.reset();
  mesh.squeeze();
  console::message("replayed mesh: " + std::to_string(helper.frame_count()) + " frames, " +
                   std::to_string(mesh.get_vn()) + " vertices, " + std::to_string(mesh.get_fn()) + " faces");
  if (!output.empty()) {
    if (write_mesh(mesh, output)) {
      console::message("wrote " + output);
    } else {
      console::message("cannot write " + output);
      rc = 1;
    }
  }
  release_replay_frames();
  return rc;
}

}  // namespace

int main(int argc, char** argv) { return replay(argc, argv); }

// Replays recorded FusionMeshHelper calls (send_rangeData.tb, get_triMesh.tb in
// a trace folder) into a fresh helper and reports the mesh it gives. The
// fusion parameters are not part of the recording, so they are options here.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "AppOptions.h"
#include "FusionMeshHelper.h"
#include "FusionOptions.h"
#include "common/console.h"
#include "common/trace/ArchiveTypes.h"
#include "geometry/ArchiveConfig.h"
#include "geometry/TriMesh.h"
#include "mesh_ply.h"

using namespace TavoAlgorithm;
namespace fs = std::filesystem;

namespace {

constexpr const char* kProgram = "trace_replay";

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
  DentalFusionMeshParam param = apps::default_fusion_param();
  std::string dir, output;
  CLI::App app(
      "Replays send_rangeData and get_triMesh recordings (a trace folder written by fusion_demo --record)\n"
      "into a fresh fusion helper. The fusion parameters are not recorded: give the ones used when recording.\n"
      "Lengths are in metres.",
      kProgram);
  app.add_option("folder", dir, "trace folder")->required();
  apps::add_fusion_options(app, param);
  app.add_option("--output", output,
                 "write the replayed mesh (format by extension; PLY is written binary with vertex normals)");
  bool asciiPly = false;
  app.add_flag("--ascii", asciiPly, "write a PLY output as text, without normals");
  if (const int rc = apps::parse_command_line(app, argc, argv); rc >= 0) return rc;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    apps::report_error(kProgram, "not a folder: " + dir);
    return 2;
  }
  if (!output.empty()) {
    if (const std::string problem = apps::output_file_problem(output, {"ply", "obj", "off", "stl"}); !problem.empty()) {
      apps::report_error(kProgram, problem);
      return 2;
    }
  }
  bool sendSuffixed = false, meshSuffixed = false;
  const bool haveSend = has_recording(dir, "send_rangeData", sendSuffixed);
  const bool haveMesh = has_recording(dir, "get_triMesh", meshSuffixed);
  if (!haveSend && !haveMesh) {
    apps::report_error(kProgram, "no send_rangeData or get_triMesh recording in " + dir);
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
      apps::report_error(kProgram, "replay of send_rangeData failed");
      rc = 1;
    }
  }
  // Without a get_triMesh recording the replayed frames are fused as they are.
  if (haveMesh) gDAConfig.timeStamp = meshSuffixed;
  else gDAConfig.enable = false;
  BaseTriMesh mesh;
  const RetVal fused = helper.get_triMesh(mesh);
  gDAConfig.reset();
  if (fused != RETVAL_SUCCESS) {
    apps::report_error(kProgram, haveMesh ? "replay of get_triMesh failed" : "fusion of the replayed frames failed");
    release_replay_frames();
    return 1;
  }
  if (const std::string note = apps::outside_points_note(helper); !note.empty()) apps::report_warning(kProgram, note);
  mesh.squeeze();
  if (mesh.get_fn() == 0) {
    apps::report_error(kProgram, "the replayed mesh is empty: no surface at voxel " + apps::number(param.voxelSize) +
                                     " m from " + std::to_string(helper.frame_count()) + " frames; nothing written");
    release_replay_frames();
    return 1;
  }
  console::message("replayed mesh: " + std::to_string(helper.frame_count()) + " frames, " +
                   std::to_string(mesh.get_vn()) + " vertices, " + std::to_string(mesh.get_fn()) + " faces");
  if (!output.empty()) {
    if (std::string error; apps::write_program_mesh(output, mesh, asciiPly, error)) {
      console::message("wrote " + output);
    } else {
      apps::report_error(kProgram, error);
      rc = 1;
    }
  }
  release_replay_frames();
  return rc;
}

}  // namespace

int main(int argc, char** argv) { return replay(argc, argv); }

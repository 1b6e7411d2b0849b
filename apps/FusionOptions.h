#pragma once
// The fusion parameters as command-line options (--voxel, --step, --clip-z),
// the same in fusion_demo and trace_replay. Lengths are in metres, the unit
// of the bunny scans and of the built-in object.
#include <string>

#include <CLI/CLI.hpp>

#include "FusionMeshHelper.h"

namespace TavoAlgorithm::apps {

inline constexpr float kDefaultVoxel = 0.001f;
// Practical bounds of a voxel edge in metres: a micrometre to a kilometre.
inline constexpr float kMinVoxel = 1e-6f;
inline constexpr float kMaxVoxel = 1e3f;
inline constexpr int kMaxSampleStep = 4096;  // no camera grid is wider
inline constexpr float kMaxClipHeight = 1e30f;

// Defaults: voxel kDefaultVoxel, step 0, no clipping.
DentalFusionMeshParam default_fusion_param();
void add_fusion_options(CLI::App& app, DentalFusionMeshParam& param);
bool clips(const DentalFusionMeshParam& param);

// After a fusion: how many points fell outside the volume's usable cells and
// were dropped, with the span those cells cover; empty when none was (or
// there is no volume).
std::string outside_points_note(const FusionMeshHelper& helper);

// After a fusion of `sent` points: "integrated N of `sent` points", with the
// sample step when it is not 0 (N: the points that entered the volume).
std::string integrated_points_note(const FusionMeshHelper& helper, long long sent, int sampleStep);

}  // namespace TavoAlgorithm::apps

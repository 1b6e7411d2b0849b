#pragma once
// The ten records of a camera calibration file, in file order, with the
// number of values each must yield. Printing these patterns with the values
// in place of "%lf" produces a file that CameraCalibrateParam::readParam
// accepts (record 4 ends with its line ends before "]", so the skew record
// follows that bracket directly).
#include <array>
#include <string_view>

namespace TavoAlgorithm::calibration {

struct CalibrationRecord {
  std::string_view pattern;
  int valueCount;
};

inline constexpr std::array<CalibrationRecord, 10> kCalibrationRecords = {{
    {"Focal Length:          fc = [%lf %lf]\n", 2},
    {"                            [%lf %lf]\n", 2},
    {"Principal point:       cc = [%lf %lf]\n", 2},
    {"                            [%lf %lf\n\n]", 2},
    {"alpha:              alpha = [%lf] [%lf]\n", 2},
    {"Distortion:            kc = [%lf %lf %lf %lf %lf]\n", 5},
    {"                            [%lf %lf %lf %lf %lf]\n", 5},
    {"Translation vector:     T = [%lf %lf %lf]\n", 3},
    {"Rotation Matrix:        R = [%lf %lf %lf %lf %lf %lf %lf %lf %lf]\n", 9},
    {"Standard Error:     error = [%lf]\n", 1},
}};

// Index of the first value of `record` in the sequence of all values.
constexpr int record_offset(int record) {
  int offset = 0;
  for (int r = 0; r < record; ++r) offset += kCalibrationRecords[r].valueCount;
  return offset;
}

}  // namespace TavoAlgorithm::calibration

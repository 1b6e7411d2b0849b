#include "CameraCalibrateParam.h"

#include <cstdint>
#include <string>

#include "calibration/CalibrationFileLayout.h"
#include "calibration/FormattedRecord.h"
#include "common/console.h"
#include "geometry/InputFile.h"

namespace TavoAlgorithm::TavoRobotAlgorithm {

namespace {
constexpr std::string_view kCannotOpen = "Cann't Find Camera Calibration File!";
constexpr std::string_view kFileError = "Camera Calibration File Error!";
// Ten short records take well under a kilobyte; this leaves room for any
// spacing and trailing notes a writer adds.
constexpr std::uint64_t kMaxCalibrationFileBytes = 64 * 1024;
}  // namespace

void CameraCalibrateParam::readParam(const char* path) {
  if (path == nullptr) {
    console::message(kCannotOpen);
    return;
  }
  // Read raw: line ends reach the matcher as stored. Anything but a regular
  // file of calibration size is refused before it is read.
  std::string text, error;
  InputFault fault = InputFault::None;
  if (!read_small_file(path, kMaxCalibrationFileBytes, text, error, &fault)) {
    console::message(fault == InputFault::CannotOpen ? kCannotOpen : kFileError);
    return;
  }

  std::vector<double> v;
  std::size_t pos = 0;
  for (const auto& record : calibration::kCalibrationRecords) {
    const std::size_t before = v.size();
    if (!calibration::match_record(text, pos, record.pattern, v) ||
        v.size() - before != static_cast<std::size_t>(record.valueCount)) {
      console::message(kFileError);
      return;
    }
  }

  // Offsets of the kept values in the sequence of all numbers read.
  const auto at = [&](int record, int k) { return v[calibration::record_offset(record) + k]; };
  fc[0] = at(0, 0), fc[1] = at(0, 1);
  cc[0] = at(2, 0), cc[1] = at(2, 1);
  alpha = at(4, 0);
  for (int k = 0; k < 5; ++k) kc[k] = at(5, k);
  Eigen::Matrix3d R;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) R(r, c) = at(8, 3 * r + c);
  RT = RigidMatrix(R, Eigen::Vector3d(at(7, 0), at(7, 1), at(7, 2)));
}

}  // namespace TavoAlgorithm::TavoRobotAlgorithm

// The record on arbitrary coordinates and angles: always 137 commas, two
// "||" separators and only the record's characters (and the letters of
// nan / inf).
#include <algorithm>
#include <string>

#include "driver/report.h"
#include "fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  AnalysisState state;
  state.landmark_count = kLandmarkCount;
  for (LandmarkPoint& p : state.landmarks) p = {in.take<int32_t>(), in.take<int32_t>()};
  for (double& angle : state.reported_angles) angle = in.take<double>();
  std::string report;
  append_landmark_segment(report, state);
  append_brightness_segment(report, in.take<int32_t>());
  append_angle_segment(report, state);
  if (std::count(report.begin(), report.end(), ',') != 137) __builtin_trap();
  if (report.find_first_not_of("0123456789-.,|naif") != std::string::npos) __builtin_trap();
  if (std::count(report.begin(), report.end(), '|') != 4) __builtin_trap();
  return 0;
}

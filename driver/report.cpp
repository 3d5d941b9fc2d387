#include "driver/report.h"

#include <cmath>
#include <iostream>

void append_landmark_segment(std::string& report, const AnalysisState& state) {
  std::string segment;
  for (int i = 0; i < state.landmark_count; ++i) {
    segment += std::to_string(state.landmarks[i].x);
    segment += ',';
    segment += std::to_string(state.landmarks[i].y);
    segment += ',';
  }
  if (!segment.empty()) segment.pop_back();
  report += segment;
}

void append_brightness_segment(std::string& report, int32_t percentage) {
  report += "||" + std::to_string(percentage);
}

std::string format_angle(double angle) {
  if (std::isnan(angle)) return "nan";
  if (std::isinf(angle)) return angle > 0 ? "inf" : "-inf";
  return std::to_string(angle);
}

void append_angle_segment(std::string& report, const AnalysisState& state) {
  report += "||" + format_angle(state.reported_angles[0]) + "," +
            format_angle(state.reported_angles[1]) + "," +
            format_angle(state.reported_angles[2]);
}

bool write_report(const std::string& report) {
  std::cout << report;
  std::cout.flush();
  return static_cast<bool>(std::cout);
}

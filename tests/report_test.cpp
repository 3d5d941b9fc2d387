#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "driver/report.h"

namespace {

AnalysisState state_with_landmarks(int base_x, int base_y) {
  AnalysisState state;
  state.landmark_count = kLandmarkCount;
  for (int i = 0; i < kLandmarkCount; ++i) state.landmarks[i] = {base_x + i, base_y + i};
  return state;
}

TEST(Report, WholeRecordInOrder) {
  AnalysisState state = state_with_landmarks(200, 300);
  state.reported_angles[0] = -12.5;
  state.reported_angles[1] = 3.25;
  state.reported_angles[2] = 171;
  std::string report;
  append_landmark_segment(report, state);
  append_brightness_segment(report, 57);
  append_angle_segment(report, state);

  EXPECT_EQ(report.rfind("200,300,201,301,202,302,203,303,", 0), 0u) << report;
  const std::string tail = "266,366,267,367||57||-12.500000,3.250000,171.000000";
  ASSERT_GE(report.size(), tail.size());
  EXPECT_EQ(report.substr(report.size() - tail.size()), tail);
  EXPECT_EQ(std::count(report.begin(), report.end(), ','), 137);
}

TEST(Report, NegativeAndZeroCoordinatesAsTheyStand) {
  AnalysisState state = state_with_landmarks(0, 0);
  state.landmarks[0] = {-3, 0};
  state.landmarks[67] = {-2147483647 - 1, 99999};
  std::string report;
  append_landmark_segment(report, state);
  EXPECT_EQ(report.rfind("-3,0,1,1,", 0), 0u) << report;
  EXPECT_EQ(report.substr(report.size() - 17), "-2147483648,99999");
}

struct AngleCase {
  double angle;
  const char* text;
};

class AngleFormat : public testing::TestWithParam<AngleCase> {};

TEST_P(AngleFormat, AsPrintfFixedWithSixDecimals) {
  EXPECT_EQ(format_angle(GetParam().angle), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, AngleFormat,
    testing::Values(AngleCase{12.5, "12.500000"}, AngleCase{-0.25, "-0.250000"},
                    AngleCase{0.0, "0.000000"}, AngleCase{171.0, "171.000000"},
                    AngleCase{179.9999996, "180.000000"}, AngleCase{-0.0000004, "-0.000000"},
                    AngleCase{1e20, "100000000000000000000.000000"},
                    AngleCase{std::nan(""), "nan"}, AngleCase{-std::nan(""), "nan"},
                    AngleCase{std::numeric_limits<double>::infinity(), "inf"},
                    AngleCase{-std::numeric_limits<double>::infinity(), "-inf"}));

TEST(Report, BrightnessHasNoDecimals) {
  std::string report = "1,2";
  append_brightness_segment(report, 0);
  append_brightness_segment(report, 100);
  EXPECT_EQ(report, "1,2||0||100");
}

}  // namespace

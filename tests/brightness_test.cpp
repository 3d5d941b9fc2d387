#include <gtest/gtest.h>

#include "measures/brightness.h"

namespace {

// The four sample points are midpoints of landmark pairs; placing both
// landmarks of a pair on one pixel puts the sample there.
constexpr int kPairs[4][2] = {{21, 22}, {8, 57}, {4, 48}, {12, 54}};
const cv::Point kSamplePoints[4] = {{10, 10}, {20, 10}, {10, 20}, {20, 20}};

AnalysisState state_sampling(const cv::Point (&points)[4]) {
  AnalysisState state;
  state.landmark_count = kLandmarkCount;
  for (int s = 0; s < 4; ++s) {
    for (int landmark : kPairs[s]) state.landmarks[landmark] = {points[s].x, points[s].y};
  }
  return state;
}

struct BrightnessCase {
  const char* name;
  cv::Vec3b samples[4];  // blue, green, red at each sample point
  int percentage;
};

class SkinBrightness : public testing::TestWithParam<BrightnessCase> {};

TEST_P(SkinBrightness, LargestChannelMeanAsPercentage) {
  cv::Mat image(32, 32, CV_8UC3, cv::Scalar(0, 0, 0));
  for (int s = 0; s < 4; ++s) image.at<cv::Vec3b>(kSamplePoints[s]) = GetParam().samples[s];
  EXPECT_EQ(measure_skin_brightness(image, state_sampling(kSamplePoints)), GetParam().percentage);
}

const cv::Vec3b kWhite{255, 255, 255}, kBlack{0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Samples, SkinBrightness,
    testing::Values(
        BrightnessCase{"white", {kWhite, kWhite, kWhite, kWhite}, 100},
        BrightnessCase{"black", {kBlack, kBlack, kBlack, kBlack}, 0},
        BrightnessCase{"blue", {{255, 0, 0}, {255, 0, 0}, {255, 0, 0}, {255, 0, 0}}, 100},
        BrightnessCase{"green", {{0, 255, 0}, {0, 255, 0}, {0, 255, 0}, {0, 255, 0}}, 100},
        BrightnessCase{"red", {{0, 0, 255}, {0, 0, 255}, {0, 0, 255}, {0, 0, 255}}, 100},
        // Means 63.75 each: 25, where the mean of per-pixel maxima would give 75.
        BrightnessCase{"primaries", {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, kBlack}, 25},
        BrightnessCase{"half_dark", {{200, 100, 50}, {200, 100, 50}, kBlack, kBlack}, 39},
        // Means 10, 120.5, 130.25.
        BrightnessCase{"mixed", {{40, 200, 255}, {0, 200, 200}, {0, 82, 66}, {0, 0, 0}}, 51},
        BrightnessCase{"one_below_full", {{254, 0, 0}, {255, 0, 0}, {255, 0, 0}, {255, 0, 0}}, 99},
        BrightnessCase{"tiny", {{4, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct BorderCase {
  cv::Point point;
  bool read;
};

std::ostream& operator<<(std::ostream& out, const BorderCase& c) {
  return out << (c.read ? "read_" : "outside_") << c.point.x << "_" << c.point.y;
}

class SamplePixelBorder : public testing::TestWithParam<BorderCase> {};

TEST_P(SamplePixelBorder, ColumnZeroAndRowZeroCountAsOutside) {
  const cv::Mat image(40, 50, CV_8UC3, cv::Scalar(1, 2, 3));
  const PixelSample sample = sample_pixel(image, GetParam().point);
  const float expected[3] = {1, 2, 3};
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(sample.channel[c], GetParam().read ? expected[c] : 0.0f) << GetParam().point;
  }
}

INSTANTIATE_TEST_SUITE_P(Points, SamplePixelBorder,
                         testing::Values(BorderCase{{0, 5}, false}, BorderCase{{5, 0}, false},
                                         BorderCase{{1, 1}, true}, BorderCase{{49, 39}, true},
                                         BorderCase{{50, 5}, false}, BorderCase{{5, 40}, false},
                                         BorderCase{{-1, 5}, false},
                                         BorderCase{{2147483647, -2147483647}, false}));

TEST(SamplePixel, ReadsARegionThroughItsRowStride) {
  cv::Mat big(20, 20, CV_8UC3, cv::Scalar(0, 0, 0));
  big.at<cv::Vec3b>(7, 6) = {9, 8, 7};
  const cv::Mat region = big(cv::Rect(4, 4, 10, 10));
  const PixelSample sample = sample_pixel(region, {2, 3});
  EXPECT_EQ(sample.channel[0], 9);
  EXPECT_EQ(sample.channel[1], 8);
  EXPECT_EQ(sample.channel[2], 7);
}

TEST(SkinBrightness, MidpointsTruncateTowardZero) {
  cv::Mat image(200, 200, CV_8UC3, cv::Scalar(0, 0, 0));
  image.at<cv::Vec3b>(50, 102) = kWhite;  // midpoint of (101, 50) and (104, 51)
  AnalysisState state;
  state.landmarks[21] = {101, 50};
  state.landmarks[22] = {104, 51};
  // Pairs summing to -3 halve to -1 (not -2): outside either way.
  for (int landmark : {8, 57, 4, 48, 12, 54}) state.landmarks[landmark] = {-1, -2};
  EXPECT_EQ(measure_skin_brightness(image, state), 25);
  // Every sample outside: the divisor stays four.
  state.landmarks[21] = state.landmarks[22] = {0, 0};
  EXPECT_EQ(measure_skin_brightness(image, state), 0);
}

}  // namespace

#include <gtest/gtest.h>

#include <cmath>
#include <opencv2/calib3d.hpp>

#include "model/candide.h"
#include "model/head_pose.h"

namespace {

struct AngleRuleCase {
  double euler[3];
  double reported[3];
};

class NormalisePoseAngles : public testing::TestWithParam<AngleRuleCase> {};

TEST_P(NormalisePoseAngles, HalfTurnOnXAndZ) {
  AnalysisState state;
  for (int i = 0; i < 3; ++i) state.euler_angles[i] = GetParam().euler[i];
  normalise_pose_angles(state);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(state.reported_angles[i], GetParam().reported[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Angles, NormalisePoseAngles,
    testing::Values(AngleRuleCase{{170.0, 12.5, -175.0}, {-10.0, 12.5, 5.0}},
                    AngleRuleCase{{-179.0, -30.0, 2.0}, {1.0, -30.0, -178.0}},
                    AngleRuleCase{{0.0, 0.0, 0.0}, {180.0, 0.0, 180.0}},
                    AngleRuleCase{{180.0, 90.0, -180.0}, {0.0, 90.0, 0.0}},
                    AngleRuleCase{{-180.0, -90.0, 180.0}, {0.0, -90.0, 0.0}}));

TEST(NormalisePoseAngles, NanPassesThrough) {
  AnalysisState state;
  state.euler_angles[0] = state.euler_angles[1] = state.euler_angles[2] = std::nan("");
  normalise_pose_angles(state);
  for (double angle : state.reported_angles) EXPECT_TRUE(std::isnan(angle));
}

// The nine landmark / vertex pairs, in the order the pose uses them.
constexpr int kLandmarks[9] = {0, 8, 16, 48, 54, 36, 39, 42, 45};
constexpr int kVertices[9] = {62, 10, 29, 64, 31, 53, 56, 23, 20};

// Euler angles (degrees about x, y, z) that the decomposition gives for R.
cv::Vec3d euler_of(const cv::Mat& rotation) {
  cv::Mat pose;
  cv::hconcat(rotation, cv::Mat::zeros(3, 1, CV_64F), pose);
  cv::Mat k, r, t;
  cv::Vec3d euler;
  cv::decomposeProjectionMatrix(pose, k, r, t, cv::noArray(), cv::noArray(), cv::noArray(),
                                euler);
  return euler;
}

const cv::Mat kCamera = (cv::Mat_<double>(3, 3) << 500, 0, 285, 0, 500, 285, 0, 0, 1);

// The model's nine vertices projected with a pose through the camera the
// estimates assume (focal 500, centre of the 570x570 canvas), rounded to
// landmark pixels.
AnalysisState projected_state(const cv::Vec3d& rotation_vector, const cv::Vec3d& translation) {
  AnalysisState state;
  std::ostringstream diagnostics;
  read_model_vertices(state, MODEL_FILE, diagnostics);
  EXPECT_EQ(diagnostics.str(), "");
  std::vector<cv::Point3f> model;
  for (int v : kVertices) {
    const ModelVertex& p = state.model_vertices[v];
    model.emplace_back(p.x, p.y, p.z);
  }
  std::vector<cv::Point2f> image;
  cv::projectPoints(model, rotation_vector, translation, kCamera, cv::noArray(), image);
  for (int i = 0; i < 9; ++i) {
    state.landmarks[kLandmarks[i]] = {static_cast<int>(std::lround(image[i].x)),
                                      static_cast<int>(std::lround(image[i].y))};
  }
  return state;
}

class HeadPoseRoundTrip : public testing::TestWithParam<cv::Vec3d> {};

// A known pose's projection gives that pose back.
TEST_P(HeadPoseRoundTrip, RecoversTheRotation) {
  const cv::Vec3d rotation_vector = GetParam();
  AnalysisState state = projected_state(rotation_vector, {0.05, -0.1, 2.5});
  estimate_head_pose(state);
  cv::Mat rotation;
  cv::Rodrigues(rotation_vector, rotation);
  const cv::Vec3d expected = euler_of(rotation);
  for (int i = 0; i < 3; ++i) {
    // -180 and 180 are one angle.
    EXPECT_NEAR(std::remainder(state.euler_angles[i] - expected[i], 360.0), 0.0, 2.0) << i;
  }
}

// An upright face seen from the front is the model turned half a turn about
// x (the model's y axis points up, the image's down); then turned a little.
INSTANTIATE_TEST_SUITE_P(Poses, HeadPoseRoundTrip,
                         testing::Values(cv::Vec3d(M_PI, 0, 0), cv::Vec3d(2.9, 0.3, 0.1),
                                         cv::Vec3d(3.0, -0.35, -0.2),
                                         cv::Vec3d(-3.0, 0.1, 0.25)));

}  // namespace

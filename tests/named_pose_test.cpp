// The named head pose on synthetic landmarks: the model face projected at a
// known pose through the photo's camera, rounded to pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <opencv2/calib3d.hpp>

#include "model/mean_face.h"
#include "model/named_pose.h"
#include "tests/support.h"

namespace {

struct Angles {
  double pitch, yaw, roll;
};

cv::Matx33d axis_rotation(int axis, double degrees) {
  cv::Vec3d vector(0, 0, 0);
  vector[axis] = degrees * CV_PI / 180.0;
  cv::Matx33d rotation;
  cv::Rodrigues(vector, rotation);
  return rotation;
}

AnalysisState model_state(int width, int height) {
  AnalysisState state;
  state.image_width = width;
  state.image_height = height;
  return state;
}

// The face at `angles`, its eye centres about `eye_pixels` apart, its origin
// `offset` (in eye distances) right of and below the photo's centre.
void project_face(const AnalysisState& state, const Angles& angles, double eye_pixels,
                  cv::Point2d offset, LandmarkTable& landmarks) {
  const FaceShape face = face_shape();
  const cv::Matx33d camera = photo_camera(state.image_width, state.image_height);
  const cv::Matx33d viewer_to_camera(1, 0, 0, 0, -1, 0, 0, 0, -1);
  const cv::Matx33d head = axis_rotation(2, angles.roll) * axis_rotation(1, angles.yaw) *
                           axis_rotation(0, angles.pitch);
  cv::Vec3d rotation_vector;
  cv::Rodrigues(viewer_to_camera * head, rotation_vector);
  const double eyes = std::abs(face.points[36].x + face.points[39].x);
  const double depth = camera(0, 0) * eyes / eye_pixels;
  const cv::Vec3d translation(offset.x * eyes, offset.y * eyes, depth);
  std::vector<cv::Point2d> image;
  cv::projectPoints(std::vector<cv::Point3d>(std::begin(face.points), std::end(face.points)),
                    rotation_vector, translation, camera, cv::noArray(), image);
  for (int i = 0; i < kLandmarkCount; ++i) {
    landmarks[i] = {static_cast<int32_t>(std::lround(image[i].x)),
                    static_cast<int32_t>(std::lround(image[i].y))};
  }
}

void expect_angles(const NamedPose& pose, const Angles& expected, double tolerance,
                   const std::string& what) {
  ASSERT_TRUE(pose.solved) << what << ": " << pose.reason;
  EXPECT_NEAR(pose.pitch, expected.pitch, tolerance) << what;
  EXPECT_NEAR(pose.yaw, expected.yaw, tolerance) << what;
  EXPECT_NEAR(std::remainder(pose.roll - expected.roll, 360.0), 0.0, tolerance) << what;
}

class NamedPoseRoundTrip : public testing::TestWithParam<Angles> {};

// A known pose comes back under its names; scaled photos give it again; the
// mirrored and the quarter-turned landmarks give exactly the mirrored and
// turned pose.
TEST_P(NamedPoseRoundTrip, PoseAndItsRelations) {
  const Angles turn = GetParam();
  // A large photo: rounding to pixels moves the angles by thousandths.
  AnalysisState state = model_state(30001, 20001);
  LandmarkTable landmarks;
  project_face(state, turn, 6000, {0.3, -0.2}, landmarks);
  const NamedPose pose = solve_named_pose(state, point_table(landmarks));
  expect_angles(pose, turn, 0.01, "as projected");
  EXPECT_LT(pose.fit, 0.01);

  for (double scale : {0.5, 2.0}) {
    AnalysisState scaled = model_state(static_cast<int>(30001 * scale),
                                       static_cast<int>(20001 * scale));
    project_face(scaled, turn, 6000 * scale, {0.3, -0.2}, landmarks);
    expect_angles(solve_named_pose(scaled, point_table(landmarks)), turn, 0.01, "scaled");
  }

  project_face(state, turn, 6000, {0.3, -0.2}, landmarks);
  LandmarkTable mirrored, quarter;
  for (int i = 0; i < kLandmarkCount; ++i) {
    const LandmarkPoint& p = landmarks[i];
    mirrored[mirrored_landmark(i)] = {state.image_width - 1 - p.x, p.y};
    // A quarter turn of the photo counterclockwise.
    quarter[i] = {p.y, state.image_width - 1 - p.x};
  }
  expect_angles(solve_named_pose(state, point_table(mirrored)), {pose.pitch, -pose.yaw, -pose.roll}, 1e-6,
                "mirrored");
  std::swap(state.image_width, state.image_height);
  expect_angles(solve_named_pose(state, point_table(quarter)), {pose.pitch, pose.yaw, pose.roll + 90}, 1e-6,
                "turned");
}

INSTANTIATE_TEST_SUITE_P(
    Turns, NamedPoseRoundTrip,
    testing::Values(Angles{0, 0, 0}, Angles{0, 25, 0}, Angles{0, -25, 0}, Angles{15, 0, 0},
                    Angles{-15, 0, 0}, Angles{0, 0, 20}, Angles{0, 0, -20},
                    Angles{-10, 30, 12}, Angles{12, -20, -8}, Angles{5, 40, -15}));

// Each sign means what is said of it: a positive yaw moves the nose tip
// (landmark 30) to the photo's right of the eyes' middle, a positive pitch
// moves it down, a positive roll lifts the face's left eye (landmark 45).
TEST(NamedPose, SignsAsTheyLookInThePhoto) {
  const AnalysisState state = model_state(2001, 2001);
  const struct {
    Angles turn;
    cv::Point2d moves;  // landmark, direction in the photo
    int landmark;
  } cases[] = {{{0, 20, 0}, {1, 0}, 30}, {{20, 0, 0}, {0, 1}, 30}, {{0, 0, 20}, {0, -1}, 45}};
  for (const auto& c : cases) {
    LandmarkTable frontal, turned;
    project_face(state, {0, 0, 0}, 400, {0, 0}, frontal);
    project_face(state, c.turn, 400, {0, 0}, turned);
    const cv::Point2d shift(turned[c.landmark].x - frontal[c.landmark].x,
                            turned[c.landmark].y - frontal[c.landmark].y);
    EXPECT_GT(shift.dot(c.moves), 20) << c.landmark;
  }
}

// Landmarks no face gives, and poses no camera sees, are refused with the
// reason, never thrown.
TEST(NamedPose, RefusedWithReason) {
  const AnalysisState state = model_state(1000, 800);
  LandmarkTable good;
  project_face(state, {0, 0, 0}, 200, {0, 0}, good);
  const struct {
    const char* reason;
    std::function<LandmarkPoint(int)> place;
  } cases[] = {
      {"face too small", [](int) { return LandmarkPoint{500, 400}; }},
      {"face too small", [&](int i) { return LandmarkPoint{500 + good[i].x / 50, good[i].y / 50}; }},
      {"landmarks on a line", [](int i) { return LandmarkPoint{10 * i, 200}; }},
      {"landmarks on a line", [](int i) { return LandmarkPoint{10 * i, 5 * i + i % 2}; }},
      {"landmarks outside the photo", [&](int i) { return LandmarkPoint{good[i].x - 800, good[i].y}; }},
      {"landmarks outside the photo", [&](int i) { return LandmarkPoint{good[i].x, good[i].y + 5000}; }},
      {"facing away", [&](int i) { return LandmarkPoint{999 - good[i].x, good[i].y}; }},
  };
  for (const auto& c : cases) {
    LandmarkTable landmarks;
    for (int i = 0; i < kLandmarkCount; ++i) landmarks[i] = c.place(i);
    NamedPose pose;
    EXPECT_NO_THROW(pose = solve_named_pose(state, point_table(landmarks))) << c.reason;
    EXPECT_FALSE(pose.solved) << c.reason;
    EXPECT_EQ(pose.reason, c.reason);
  }
}

// The face built into the program is the committed file, which is what the
// script makes from the installed shape predictor and CANDIDE-3; left and
// right mirror each other exactly.
TEST(MeanFace, BuiltFromItsSourcesAndSymmetric) {
  ScratchDir dir;
  const RunResult made = run_program(dir.path(),
                                     {PREDICTOR_FILE, MODEL_FILE, (dir / "face.txt").string()},
                                     MAKE_MEAN_FACE_BIN);
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string committed = read_file(MEAN_FACE_FILE);
  EXPECT_EQ(read_file(dir / "face.txt"), committed);
  const std::vector<std::string> lines = lines_of(committed);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kLandmarkCount));
  for (int i = 0; i < kLandmarkCount; ++i) {
    double x, y, z;
    ASSERT_EQ(std::sscanf(lines[i].c_str(), "landmark%*d: %lf, %lf, %lf", &x, &y, &z), 3);
    EXPECT_EQ(kMeanFace[i][0], x) << i;
    EXPECT_EQ(kMeanFace[i][1], y) << i;
    EXPECT_EQ(kMeanFace[i][2], z) << i;
    const int m = mirrored_landmark(i);
    EXPECT_EQ(mirrored_landmark(m), i);
    EXPECT_EQ(kMeanFace[m][0], -kMeanFace[i][0]) << i;
    EXPECT_EQ(kMeanFace[m][1], kMeanFace[i][1]) << i;
    EXPECT_EQ(kMeanFace[m][2], kMeanFace[i][2]) << i;
  }
}

}  // namespace

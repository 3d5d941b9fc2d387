// The quality components: their score mappings, synthetic photos with known
// answers, and faceprobe-batch's JSON lines on real photos and their variants.
#include "quality/quality.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "model/mean_face.h"
#include "quality/face_pixels.h"
#include "quality/scores.h"
#include "tests/support.h"

namespace {

struct Mapping {
  const char* name;
  int (*score)(double);
  double value;
  int expected;
};

class ScoreMapping : public testing::TestWithParam<Mapping> {};

TEST_P(ScoreMapping, GivesTheWorkedScore) {
  EXPECT_EQ(GetParam().score(GetParam().value), GetParam().expected)
      << GetParam().name << " of " << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Quality, ScoreMapping,
    testing::Values(Mapping{"luminance mean", luminance_mean_score, 0.5, 100},
                    Mapping{"luminance mean", luminance_mean_score, 0.2, 50},
                    Mapping{"luminance mean", luminance_mean_score, 0.0, 2},
                    Mapping{"luminance mean", luminance_mean_score, 1.0, 2},
                    Mapping{"luminance variance", luminance_variance_score, 0.0, 0},
                    Mapping{"luminance variance", luminance_variance_score, 1.0 / 60, 100},
                    Mapping{"under-exposure", under_exposure_score, 0.0, 100},
                    Mapping{"under-exposure", under_exposure_score, 1.0, 0},
                    Mapping{"over-exposure", over_exposure_score, 0.0, 100},
                    Mapping{"over-exposure", over_exposure_score, 0.09, 10},
                    Mapping{"over-exposure", over_exposure_score, 1.0, 1},
                    Mapping{"dynamic range", dynamic_range_score, 8.0, 100},
                    Mapping{"dynamic range", dynamic_range_score, 4.0, 50},
                    Mapping{"dynamic range", dynamic_range_score, 0.0, 0},
                    Mapping{"illumination uniformity", illumination_uniformity_score, 1.0, 100},
                    Mapping{"illumination uniformity", illumination_uniformity_score, 0.1, 50},
                    Mapping{"illumination uniformity", illumination_uniformity_score, 0.0, 0},
                    Mapping{"natural colour", natural_colour_score, 0.0, 100},
                    Mapping{"natural colour", natural_colour_score, 1000.0, 0},
                    Mapping{"eyes open", eyes_open_score, 0.02, 50},
                    Mapping{"eyes open", eyes_open_score, 0.0, 12},
                    Mapping{"eyes open", eyes_open_score, 0.06, 98},
                    Mapping{"mouth closed", mouth_closed_score, 0.2, 50},
                    Mapping{"mouth closed", mouth_closed_score, 0.0, 97},
                    Mapping{"inter-eye distance", inter_eye_distance_score, 70.0, 50},
                    Mapping{"inter-eye distance", inter_eye_distance_score, 200.0, 100},
                    Mapping{"head size", head_size_score, 0.45, 100},
                    Mapping{"head size", head_size_score, 0.40, 54},
                    Mapping{"head size", head_size_score, 0.50, 54},
                    Mapping{"side crop", side_crop_score, 0.9, 50},
                    Mapping{"side crop", side_crop_score, 0.0, 0},
                    Mapping{"margin above", margin_above_score, 1.4, 50},
                    Mapping{"margin below", margin_below_score, 1.8, 50},
                    Mapping{"head angle", head_angle_score, 0.0, 100},
                    Mapping{"head angle", head_angle_score, -60.0, 25},
                    Mapping{"head angle", head_angle_score, 90.0, 0},
                    Mapping{"head angle", head_angle_score, 180.0, 0},
                    Mapping{"single face", single_face_score, 0.0, 100},
                    Mapping{"single face", single_face_score, 0.25, 75},
                    Mapping{"single face", single_face_score, 1.0, 0},
                    Mapping{"any, not a number", score_of, NAN, 0},
                    Mapping{"any, beyond 100", score_of, 150.0, 100},
                    Mapping{"any, below 0", score_of, -3.0, 0}));

TEST(Quality, TypologyAngleCategories) {
  const std::pair<double, const char*> table[] = {
      {60, "very light"}, {55, "light"}, {41.5, "light"}, {41, "intermediate"},
      {28, "tan"},        {10, "brown"}, {-29, "brown"},  {-30, "dark"}};
  for (const auto& [angle, category] : table) EXPECT_STREQ(ita_category(angle), category) << angle;
}

struct Face {
  LandmarkTable points;
  LandmarkPoint& operator[](int i) { return points[i]; }
};

// The mean face's landmarks, frontal, eyes `eye_distance` photo pixels apart,
// their midpoint at `eyes`.
Face mean_face(cv::Point2d eyes, double eye_distance) {
  const double* l = kMeanFace[36];
  const double* r = kMeanFace[45];
  const double scale = eye_distance / (0.5 * (kMeanFace[42][0] + r[0] - kMeanFace[39][0] - l[0]));
  const double mid_x = 0.25 * (l[0] + kMeanFace[39][0] + kMeanFace[42][0] + r[0]);
  const double mid_y = 0.25 * (l[1] + kMeanFace[39][1] + kMeanFace[42][1] + r[1]);
  Face face;
  for (int i = 0; i < kLandmarkCount; ++i) {
    face[i] = {cvRound(eyes.x + scale * (kMeanFace[i][0] - mid_x)),
               cvRound(eyes.y - scale * (kMeanFace[i][1] - mid_y))};
  }
  return face;
}

NamedPose frontal_pose() {
  NamedPose pose;
  pose.solved = true;
  return pose;
}

const QualityComponent& component(const FaceQuality& quality, const char* name) {
  const QualityComponent* found = find_component(quality, name);
  if (!found) throw std::runtime_error(std::string("no component ") + name);
  return *found;
}

// Every component is named as the list says; a defined one is finite with a
// score in 0..100; an undefined one says why.
void expect_well_formed(const FaceQuality& quality) {
  ASSERT_EQ(quality.components.size(), std::size(kQualityComponentNames));
  for (size_t i = 0; i < quality.components.size(); ++i) {
    const QualityComponent& c = quality.components[i];
    EXPECT_STREQ(c.name, kQualityComponentNames[i]);
    if (c.defined) {
      EXPECT_TRUE(std::isfinite(c.value)) << c.name;
      EXPECT_TRUE(c.score >= 0 && c.score <= 100) << c.name << " " << c.score;
    } else {
      EXPECT_FALSE(c.reason.empty()) << c.name;
    }
  }
}

TEST(Quality, UniformPhotosGiveKnownLuminanceExposureAndEntropy) {
  const Face face = mean_face({300, 250}, 100);
  for (int grey : {20, 128, 255}) {
    const cv::Mat photo(600, 600, CV_8UC3, cv::Scalar::all(grey));
    const FaceQuality quality = measure_quality(photo, face.points, {10000}, frontal_pose());
    expect_well_formed(quality);
    const double y = linear_light(grey / 255.0);
    EXPECT_NEAR(component(quality, "luminance_mean").value, y, 1e-12) << grey;
    EXPECT_NEAR(component(quality, "luminance_variance").value, 0, 1e-12) << grey;
    EXPECT_EQ(component(quality, "under_exposure").value, grey == 20 ? 1 : 0) << grey;
    EXPECT_EQ(component(quality, "over_exposure").value, grey == 255 ? 1 : 0) << grey;
    EXPECT_EQ(component(quality, "dynamic_range").value, 0) << grey;
    EXPECT_EQ(component(quality, "illumination_uniformity").score, 100) << grey;
    EXPECT_EQ(component(quality, "single_face").score, 100);
    // A grey face has no colour, so no typology angle.
    EXPECT_FALSE(component(quality, "skin_tone").defined);
    EXPECT_NEAR(component(quality, "natural_colour").value, std::sqrt(50.0), 0.1) << grey;
    EXPECT_NEAR(component(quality, "sharpness").value, 0, 1e-9) << grey;
    EXPECT_NEAR(component(quality, "background_uniformity").value, 0, 1e-9) << grey;
  }
  EXPECT_EQ(component(measure_quality(cv::Mat(600, 600, CV_8UC3, cv::Scalar::all(20)), face.points,
                                      {1}, frontal_pose()),
                      "under_exposure")
                .score,
            0);
}

TEST(Quality, HalfDarkFaceHasOneBitAndUnevenCheeks) {
  const Face face = mean_face({300, 250}, 100);
  cv::Mat photo(600, 600, CV_8UC3, cv::Scalar::all(255));
  photo.colRange(0, 300).setTo(cv::Scalar::all(0));
  const FaceQuality quality = measure_quality(photo, face.points, {1}, frontal_pose());
  EXPECT_NEAR(component(quality, "dynamic_range").value, 1.0, 0.01);
  EXPECT_EQ(component(quality, "illumination_uniformity").value, 0);
  EXPECT_GT(component(quality, "sharpness").value, 100);
  // A skin-coloured photo has its typology angle and category.
  const cv::Mat skin(600, 600, CV_8UC3, cv::Scalar(150, 180, 225));
  const FaceQuality tone = measure_quality(skin, face.points, {1}, frontal_pose());
  ASSERT_TRUE(component(tone, "skin_tone").defined);
  EXPECT_STREQ(tone.skin_category, ita_category(component(tone, "skin_tone").value));
  EXPECT_GT(tone.lab[2], 10);
  EXPECT_GT(component(tone, "natural_colour").score, 90);
}

TEST(Quality, DetectorBoxesGiveTheSecondFaceShare) {
  const Face face = mean_face({300, 250}, 100);
  const cv::Mat photo(600, 600, CV_8UC3, cv::Scalar::all(128));
  const std::pair<std::vector<double>, int> table[] = {
      {{100}, 100}, {{100, 25}, 75}, {{25, 100, 50}, 50}, {{64, 64}, 0}};
  for (const auto& [areas, score] : table) {
    EXPECT_EQ(
        component(measure_quality(photo, face.points, areas, frontal_pose()), "single_face").score,
        score)
        << areas.size();
  }
}

TEST(Quality, ClosedEyeOpenMouthAndEdgeOfThePhoto) {
  const cv::Mat photo(600, 600, CV_8UC3, cv::Scalar(150, 180, 225));
  Face face = mean_face({300, 250}, 100);
  const FaceQuality open = measure_quality(photo, face.points, {1}, frontal_pose());
  EXPECT_GE(component(open, "eyes_open").score, 90);
  EXPECT_GE(component(open, "mouth_closed").score, 90);
  face[37] = face[41];
  face[38] = face[40];
  face[66].y += 60;
  face[65].y += 50;
  face[67].y += 50;
  const FaceQuality closed = measure_quality(photo, face.points, {1}, frontal_pose());
  EXPECT_EQ(component(closed, "eyes_open").value, 0);
  EXPECT_EQ(component(closed, "eyes_open").score, 12);
  EXPECT_LE(component(closed, "mouth_closed").score, 20);

  // A face at the photo's left edge: a cheek square outside, the crop low,
  // no pose: each undefined value says why.
  NamedPose none;
  none.reason = "landmarks outside the photo";
  const FaceQuality edge = measure_quality(photo, mean_face({20, 250}, 100).points, {1}, none);
  expect_well_formed(edge);
  EXPECT_EQ(component(edge, "illumination_uniformity").reason,
            "a cheek square lies outside the photo");
  EXPECT_FALSE(component(edge, "skin_tone").defined);
  EXPECT_LE(component(edge, "leftward_crop").score, 5);
  EXPECT_EQ(component(edge, "head_yaw").reason, "no head pose: landmarks outside the photo");
  EXPECT_FALSE(component(edge, "inter_eye_distance").defined);

  // A face of a few pixels: its region is too small to measure.
  const FaceQuality tiny = measure_quality(photo, mean_face({300, 250}, 4).points, {1}, none);
  expect_well_formed(tiny);
  for (const char* name : {"luminance_mean", "dynamic_range", "sharpness"}) {
    EXPECT_FALSE(component(tiny, name).defined) << name;
  }
  // A face far larger than the photo: too little of its head is there.
  const cv::Mat corner(40, 40, CV_8UC3, cv::Scalar::all(90));
  const FaceQuality huge = measure_quality(corner, mean_face({20, 20}, 3000).points, {1}, none);
  expect_well_formed(huge);
  EXPECT_EQ(component(huge, "sharpness").reason, "too little of the head is in the photo");
  // All landmarks on one point.
  const FaceQuality point = measure_quality(photo, LandmarkTable{}, {1}, none);
  expect_well_formed(point);
  EXPECT_FALSE(component(point, "eyes_open").defined);
}

}  // namespace

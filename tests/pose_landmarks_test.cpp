// The landmarks placed again for the named pose: the cascade read through a
// frame, and how the placement follows a mirrored or turned photo.
#include <gtest/gtest.h>

#include <dlib/opencv/cv_image.h>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "face/landmarks.h"
#include "face/pose_landmarks.h"
#include "tests/support.h"

namespace {

LandmarkLocator& locator() {
  static LandmarkLocator shared(PREDICTOR_FILE);
  return shared;
}

cv::Mat colour_photo(const std::string& name) {
  return cv::imread(test_photo(name).string(), cv::IMREAD_COLOR);
}

// Through the frame of dlib's own box, the cascade places what dlib's
// predictor places, but for reading between pixels rather than the nearest
// one; the frame that mirrors the box places what dlib places on the
// mirrored photo. The astronaut's face is small and smooth, so the readings
// differ little.
TEST(PoseLandmarks, TheCascadeThroughAFramePlacesWhatDlibPlaces) {
  const cv::Mat photo = colour_photo("astronaut.png");
  AnalysisState state;
  state.landmark_count = kLandmarkCount;
  LandmarkPass pass;
  ASSERT_TRUE(locate_landmarks(photo, locator(), state, &pass));
  const cv::Rect& box = pass.box;  // dlib's width: right - left + 1
  const cv::Matx23d frame(box.width - 1, 0, box.x, 0, box.height - 1, box.y);
  const cv::Matx23d mirror = frame * cv::Matx33d(-1, 0, 1, 0, 1, 0, 0, 0, 1);

  cv::Mat flipped;
  cv::flip(photo, flipped, 1);
  const int right = box.x + box.width - 1;
  const dlib::full_object_detection on_flipped = (*locator().predictor)(
      dlib::cv_image<dlib::bgr_pixel>(flipped),
      dlib::rectangle(photo.cols - 1 - right, box.y, photo.cols - 1 - box.x, box.y + box.height - 1));

  const PointTable straight = place_in_frames(photo, {frame}, *locator().predictor);
  const PointTable mirrored = place_in_frames(photo, {mirror}, *locator().predictor);
  double total = 0;
  for (int i = 0; i < kLandmarkCount; ++i) {
    const cv::Point2d dlibs(state.landmarks[i].x, state.landmarks[i].y);
    const dlib::point m = on_flipped.part(mirrored_landmark(i));
    const cv::Point2d dlibs_mirrored(photo.cols - 1 - m.x(), m.y());
    EXPECT_LT(cv::norm(straight[i] - dlibs), 2.0) << i;
    EXPECT_LT(cv::norm(mirrored[i] - dlibs_mirrored), 2.0) << i;
    total += cv::norm(straight[i] - dlibs) + cv::norm(mirrored[i] - dlibs_mirrored);
  }
  EXPECT_LT(total / (2 * kLandmarkCount), 0.75);
}

// A photo mirrored or turned a quarter, given its first pass mirrored or
// turned with it, gets its points mirrored or turned to a thousandth of a
// pixel: the box follows the face, and the pixels read are the same.
TEST(PoseLandmarks, FollowAMirroredOrQuarterTurnedPhotoExactly) {
  for (const char* name : {"grace_hopper.jpg", "astronaut.png", "einstein.jpg"}) {
    const cv::Mat photo = colour_photo(name);
    AnalysisState state;
    state.landmark_count = kLandmarkCount;
    ASSERT_TRUE(locate_landmarks(photo, locator(), state)) << name;
    const PointTable placed = place_pose_landmarks(photo, state.landmarks, *locator().predictor);
    const double w = photo.cols - 1;
    const struct {
      const char* what;
      int flip_code;                                 // cv::flip's, or -2 for a quarter turn
      std::function<cv::Point2d(cv::Point2d)> move;  // a photo point to the new photo
      bool renames;                                  // mirrored: left and right swap
    } cases[] = {
        {"mirrored", 1, [&](cv::Point2d p) { return cv::Point2d(w - p.x, p.y); }, true},
        {"turned", -2, [&](cv::Point2d p) { return cv::Point2d(p.y, w - p.x); }, false},
    };
    for (const auto& c : cases) {
      cv::Mat moved;
      if (c.flip_code == -2) {
        cv::rotate(photo, moved, cv::ROTATE_90_COUNTERCLOCKWISE);
      } else {
        cv::flip(photo, moved, c.flip_code);
      }
      LandmarkTable first;
      for (int i = 0; i < kLandmarkCount; ++i) {
        const int from = c.renames ? mirrored_landmark(i) : i;
        const cv::Point2d p =
            c.move({double(state.landmarks[from].x), double(state.landmarks[from].y)});
        first[i] = {static_cast<int32_t>(p.x), static_cast<int32_t>(p.y)};
      }
      const PointTable got = place_pose_landmarks(moved, first, *locator().predictor);
      for (int i = 0; i < kLandmarkCount; ++i) {
        const cv::Point2d expected = c.move(placed[c.renames ? mirrored_landmark(i) : i]);
        EXPECT_LT(cv::norm(got[i] - expected), 1e-3) << name << " " << c.what << " " << i;
      }
    }
  }
}

// A first pass a few pixels across is no face to place again: it comes back
// as it was.
TEST(PoseLandmarks, AFaceTooSmallToPlaceComesBackAsItWas) {
  const cv::Mat photo = colour_photo("grace_hopper.jpg");
  AnalysisState state;
  ASSERT_TRUE(locate_landmarks(photo, locator(), state));
  LandmarkTable tiny;
  for (int i = 0; i < kLandmarkCount; ++i) {
    tiny[i] = {200 + state.landmarks[i].x / 100, 300 + state.landmarks[i].y / 100};
  }
  const PointTable got = place_pose_landmarks(photo, tiny, *locator().predictor);
  for (int i = 0; i < kLandmarkCount; ++i) {
    EXPECT_EQ(got[i], cv::Point2d(tiny[i].x, tiny[i].y)) << i;
  }
}

}  // namespace

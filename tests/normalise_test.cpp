#include <gtest/gtest.h>

#include <climits>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "face/normalise.h"
#include "tests/support.h"

namespace {

struct CropCase {
  const char* name;
  int columns, rows;
  int x36, x45, y27, y8;
  cv::Rect expected;
};

class FaceCropRect : public testing::TestWithParam<CropCase> {};

TEST_P(FaceCropRect, BoxFromEyesBridgeAndChin) {
  const CropCase& c = GetParam();
  LandmarkTable landmarks;
  landmarks[36].x = c.x36;
  landmarks[45].x = c.x45;
  landmarks[27].y = c.y27;
  landmarks[8].y = c.y8;
  EXPECT_EQ(face_crop_rect(landmarks, c.columns, c.rows), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FaceCropRect,
    testing::Values(
        CropCase{"inside", 1024, 768, 300, 420, 260, 430, {113, 90, 450, 425}},
        // left is clamped to 0 while right keeps the unclamped left + 3w.
        CropCase{"clamped_left", 640, 480, 100, 200, 150, 300, {0, 0, 319, 375}},
        // w = -5 and q = -1: the integer division truncates toward zero.
        CropCase{"mirrored_eyes", 640, 480, 200, 196, 100, 150, {191, 50, 15, 125}},
        CropCase{"clamped_right_bottom", 400, 300, 300, 380, 200, 300, {175, 100, 225, 200}},
        // Beyond 32 bits the box cannot lie in any photo: one that raises when cut.
        CropCase{"absurd_mirrored", 640, 480, INT32_MAX, INT32_MIN, 0, 0, {-1, -1, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

struct LetterboxCase {
  int cols, rows;
  cv::Rect pasted;
};

class LetterboxFace : public testing::TestWithParam<LetterboxCase> {};

// A black crop shows where the paste landed: the rest of the canvas is white.
TEST_P(LetterboxFace, ScaledCentredOnWhite) {
  const LetterboxCase& c = GetParam();
  const cv::Mat crop(c.rows, c.cols, CV_8UC3, cv::Scalar(0, 0, 0));
  const cv::Mat canvas = letterbox_face(crop);
  ASSERT_EQ(canvas.type(), CV_8UC3);
  ASSERT_EQ(canvas.size(), cv::Size(570, 570));
  cv::Mat grey;
  cv::extractChannel(canvas, grey, 0);
  EXPECT_EQ(cv::boundingRect(grey != 255), c.pasted);
  EXPECT_EQ(cv::countNonZero(grey == 255) + cv::countNonZero(grey == 0), 570 * 570);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, LetterboxFace,
    testing::Values(LetterboxCase{450, 425, {0, 16, 570, 538}},
                    LetterboxCase{319, 375, {43, 0, 484, 570}},
                    // single precision gives 113 where double would give 114
                    LetterboxCase{105, 21, {0, 228, 570, 113}},
                    LetterboxCase{1000, 999, {0, 0, 570, 569}},
                    LetterboxCase{400, 200, {0, 142, 570, 285}},
                    LetterboxCase{300, 300, {0, 0, 570, 570}},
                    LetterboxCase{1, 1, {0, 0, 570, 570}}));

TEST(LetterboxFace, CanvasKindFollowsChannels) {
  const struct {
    int type;
    int canvas_type;
    double fill;
  } cases[] = {{CV_8UC1, CV_8UC1, 0}, {CV_8UC4, CV_8UC4, 0}, {CV_16UC3, CV_8UC3, 255}};
  for (const auto& c : cases) {
    const cv::Mat canvas = letterbox_face(cv::Mat(100, 200, c.type, cv::Scalar::all(7)));
    EXPECT_EQ(canvas.type(), c.canvas_type);
    EXPECT_EQ(canvas.at<uchar>(0, 0), c.fill);
  }
}

TEST(LetterboxFace, RejectsEmptyAndTwoChannelCrops) {
  EXPECT_THROW(letterbox_face(cv::Mat()), std::invalid_argument);
  EXPECT_THROW(letterbox_face(cv::Mat(0, 10, CV_8UC3)), std::invalid_argument);
  EXPECT_THROW(letterbox_face(cv::Mat(10, 10, CV_8UC2, cv::Scalar(1, 1))), cv::Exception);
  // So thin that it scales to zero columns: the library refuses the resize.
  EXPECT_THROW(letterbox_face(cv::Mat(2000, 1, CV_8UC3)), cv::Exception);
}

struct PathCase {
  const char* input;
  const char* output;
};

class ResizedImagePath : public testing::TestWithParam<PathCase> {};

TEST_P(ResizedImagePath, ExtensionOfTheFileNameOnly) {
  EXPECT_EQ(resized_image_path(GetParam().input), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ResizedImagePath,
    testing::Values(PathCase{"photos/face.png", "photos/face_resize.jpg"},
                    PathCase{"face", "face_resize.jpg"},
                    PathCase{"a.b.jpg", "a.b_resize.jpg"},
                    PathCase{"my.photos/face", "my.photos/face_resize.jpg"},
                    PathCase{"./face", "./face_resize.jpg"},
                    PathCase{"dir/.face", "dir/.face_resize.jpg"},
                    PathCase{"/abs/x.y/img.jpeg", "/abs/x.y/img_resize.jpg"},
                    PathCase{"", "_resize.jpg"}));

// The locator takes about a second to build: one for the whole suite.
LandmarkLocator& shared_locator() {
  static LandmarkLocator locator(PREDICTOR_FILE);
  return locator;
}

TEST(NormaliseFace, CropOutsideThePhotoThrowsBeforeWriting) {
  ScratchDir dir;
  AnalysisState state;
  state.landmark_count = kLandmarkCount;
  state.image_width = 640;
  state.image_height = 480;
  // The whole face lies to the right of the photo.
  state.landmarks[36] = {900, 200};
  state.landmarks[45] = {1000, 200};
  state.landmarks[27] = {950, 200};
  state.landmarks[8] = {950, 300};
  const cv::Mat photo(480, 640, CV_8UC3, cv::Scalar(90, 90, 90));
  cv::Mat canvas;
  EXPECT_THROW(normalise_face(photo, (dir / "out.jpg").string(), shared_locator(), state,
                              canvas),
               cv::Exception);
  EXPECT_TRUE(dir.entries().empty());
}

TEST(NormaliseFace, NoFaceOnTheCanvasKeepsTheFileAndZeroesTheTable) {
  ScratchDir dir;
  AnalysisState state;
  state.landmark_count = kLandmarkCount;
  state.image_width = 640;
  state.image_height = 480;
  state.landmarks[36] = {200, 200};
  state.landmarks[45] = {300, 200};
  state.landmarks[27] = {250, 200};
  state.landmarks[8] = {250, 300};
  const cv::Mat photo(480, 640, CV_8UC3, cv::Scalar(90, 160, 30));
  cv::Mat canvas;
  const fs::path out = dir / "out.jpg";
  EXPECT_FALSE(normalise_face(photo, out.string(), shared_locator(), state, canvas));
  EXPECT_EQ(cv::imread(out.string()).size(), cv::Size(570, 570));
  for (const LandmarkPoint& p : state.landmarks) {
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 0);
  }
}

TEST(NormaliseFace, UnwritableFolderIsReportedAndTheRunGoesOn) {
  AnalysisState state;
  state.landmark_count = kLandmarkCount;
  const cv::Mat photo = read_photo("grace_hopper.jpg");
  state.image_width = photo.cols;
  state.image_height = photo.rows;
  ASSERT_TRUE(locate_landmarks(photo, shared_locator(), state));
  const std::string out = "/nonexistent-folder/grace_resize.jpg";
  testing::internal::CaptureStderr();
  cv::Mat canvas;
  const bool found = normalise_face(photo, out, shared_locator(), state, canvas);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(found);
  EXPECT_NE(err.find("Failed writing " + out), std::string::npos) << err;
  EXPECT_EQ(canvas.size(), cv::Size(570, 570));
}

}  // namespace

namespace {

TEST(WriteCanvas, ReplacesWholeOrNotAtAllAndLeavesNoTemporary) {
  ScratchDir dir;
  const cv::Mat canvas(570, 570, CV_8UC3, cv::Scalar(10, 200, 30));
  const fs::path out = dir / "face_resize.jpg";
  write_file(out, "old contents");
  ASSERT_TRUE(write_canvas(canvas, out.string()));
  EXPECT_EQ(cv::imread(out.string()).size(), cv::Size(570, 570));
  EXPECT_EQ(dir.entries(), std::set<std::string>{"face_resize.jpg"});

  // A folder in the way: the write fails and nothing is left behind.
  fs::create_directory(dir / "taken_resize.jpg");
  EXPECT_FALSE(write_canvas(canvas, (dir / "taken_resize.jpg").string()));
  EXPECT_FALSE(write_canvas(canvas, (dir / "absent" / "x_resize.jpg").string()));
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"face_resize.jpg", "taken_resize.jpg"}));
  EXPECT_TRUE(fs::is_empty(dir / "taken_resize.jpg"));
}

}  // namespace

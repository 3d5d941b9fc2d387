#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "face/detection.h"
#include "tests/support.h"

namespace {

struct MinSizeCase {
  int width;
  int side;
};

class MinFaceSize : public testing::TestWithParam<MinSizeCase> {};

TEST_P(MinFaceSize, TenthOfWidthRoundedHalfEvenWithFloor) {
  EXPECT_EQ(min_face_size(GetParam().width), GetParam().side);
}

INSTANTIATE_TEST_SUITE_P(Widths, MinFaceSize,
                         testing::Values(MinSizeCase{640, 100}, MinSizeCase{1000, 100},
                                         MinSizeCase{1005, 100}, MinSizeCase{1006, 101},
                                         MinSizeCase{1015, 102}, MinSizeCase{1025, 102},
                                         MinSizeCase{1920, 192}, MinSizeCase{0, 100}));

// Every kind of file the photo can come as loads as 8-bit BGR of its size.
struct LoadCase {
  const char* name;
  int type;  // cv::Mat type written to the file
};

class LoadsAsBgr : public testing::TestWithParam<LoadCase> {};

TEST_P(LoadsAsBgr, ThreeChannelsEightBitsAndSizeRecorded) {
  ScratchDir dir;
  cv::Mat bgr = read_photo("grace_hopper.jpg");
  ASSERT_FALSE(bgr.empty());
  cv::Mat written;
  switch (GetParam().type) {
    case CV_8UC1: cv::cvtColor(bgr, written, cv::COLOR_BGR2GRAY); break;
    case CV_8UC4: cv::cvtColor(bgr, written, cv::COLOR_BGR2BGRA); break;
    case CV_16UC3: bgr.convertTo(written, CV_16UC3, 257.0); break;
    default: written = bgr;
  }
  const fs::path file = dir / GetParam().name;
  ASSERT_TRUE(cv::imwrite(file.string(), written));

  AnalysisState state;
  const cv::Mat photo = load_input_image(file.string(), state);
  EXPECT_EQ(photo.type(), CV_8UC3);
  EXPECT_EQ(state.image_width, bgr.cols);
  EXPECT_EQ(state.image_height, bgr.rows);
}

INSTANTIATE_TEST_SUITE_P(Kinds, LoadsAsBgr,
                         testing::Values(LoadCase{"grey.png", CV_8UC1},
                                         LoadCase{"bgra.png", CV_8UC4},
                                         LoadCase{"deep.png", CV_16UC3},
                                         LoadCase{"colour.jpg", CV_8UC3}));

TEST(LoadInputImage, GreyJpegPhotoLoadsAsBgr) {
  AnalysisState state;
  const cv::Mat photo = load_input_image(test_photo("einstein.jpg").string(), state);
  EXPECT_EQ(photo.type(), CV_8UC3);
  EXPECT_EQ(state.image_width, 948);
  EXPECT_EQ(state.image_height, 1064);
}

TEST(LoadInputImage, FailedLoadLeavesSizeZero) {
  ScratchDir dir;
  write_file(dir / "text.jpg", "not an image\n");
  const std::string paths[] = {"", (dir / "missing.png").string(), (dir / "text.jpg").string(),
                               dir.path().string()};
  for (const std::string& path : paths) {
    AnalysisState state;
    EXPECT_TRUE(load_input_image(path, state).empty()) << path;
    EXPECT_EQ(state.image_width, 0) << path;
    EXPECT_EQ(state.image_height, 0) << path;
  }
}

TEST(DetectFaces, FalseWithoutCascade) {
  ScratchDir dir;
  std::vector<cv::Rect> faces;
  EXPECT_FALSE(detect_faces(read_photo("grace_hopper.jpg"), faces,
                            (dir / "absent.xml").string()));
}

TEST(DetectFaces, FindsTheFaceAndNothingOnAFlatImage) {
  std::vector<cv::Rect> faces;
  ASSERT_TRUE(detect_faces(read_photo("grace_hopper.jpg"), faces, CASCADE_FILE));
  EXPECT_FALSE(faces.empty());
  const cv::Mat grey_wall(480, 640, CV_8UC3, cv::Scalar(128, 128, 128));
  ASSERT_TRUE(detect_faces(grey_wall, faces, CASCADE_FILE));
  EXPECT_TRUE(faces.empty());
}

}  // namespace

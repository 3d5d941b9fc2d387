// The JSON's fields in the photo's own pixels, through faceprobe-batch: the
// face box is the detector's box of the face whose landmarks were placed,
// the photo landmarks carried through the crop and scale land on the
// normalised ones, and faces are counted.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "face/normalise.h"
#include "tests/support.h"

namespace {

using nlohmann::json;

json analyse(const fs::path& dir, const std::string& name) {
  const RunResult r = run_program(dir, {"--format", "jsonl", name}, FACEPROBE_BATCH_BIN);
  return json::parse(r.out);
}

void fill(const json& points, LandmarkTable& table) {
  for (int i = 0; i < kLandmarkCount; ++i) table[i] = {points[i][0], points[i][1]};
}

TEST(PhotoFrame, BoxLandmarksAndSizeInPhotoPixels) {
  ScratchDir dir;
  link_data_files(dir.path());
  for (const char* name : {"grace_hopper.jpg", "astronaut.png", "einstein.jpg"}) {
    fs::copy_file(test_photo(name), dir / name);
    const json line = analyse(dir.path(), name);
    ASSERT_EQ(line.at("status"), "ok") << name;
    const cv::Mat photo = cv::imread(test_photo(name).string());
    EXPECT_EQ(line.at("photo_size"), json({photo.cols, photo.rows})) << name;
    EXPECT_GE(line.at("faces").get<int>(), 1) << name;

    LandmarkTable on_photo, on_canvas;
    fill(line.at("photo_landmarks"), on_photo);
    fill(line.at("landmarks"), on_canvas);
    int min_x = INT32_MAX, min_y = INT32_MAX, max_x = INT32_MIN, max_y = INT32_MIN;
    for (const LandmarkPoint& p : on_photo) {
      min_x = std::min(min_x, p.x), max_x = std::max(max_x, p.x);
      min_y = std::min(min_y, p.y), max_y = std::max(max_y, p.y);
    }
    const json box = line.at("face_box");
    const int cx = box[0].get<int>() + box[2].get<int>() / 2;
    const int cy = box[1].get<int>() + box[3].get<int>() / 2;
    EXPECT_TRUE(cx > min_x && cx < max_x && cy > min_y && cy < max_y) << name << " " << box;

    // The crop and letterbox of the normalisation, applied to the photo's
    // landmarks: the second pass places them anew, so near, not exactly.
    const cv::Rect crop = face_crop_rect(on_photo, photo.cols, photo.rows);
    const float scale = std::min(570.0f / crop.width, 570.0f / crop.height);
    const double left = (570 - crop.width * scale) / 2, top = (570 - crop.height * scale) / 2;
    double total = 0;
    for (int i = 0; i < kLandmarkCount; ++i) {
      const double x = (on_photo[i].x - crop.x) * scale + left;
      const double y = (on_photo[i].y - crop.y) * scale + top;
      total += std::hypot(x - on_canvas[i].x, y - on_canvas[i].y);
    }
    // A few canvas pixels on average (of 570).
    EXPECT_LT(total / kLandmarkCount, 8.0) << name;
  }
}

TEST(PhotoFrame, FacesCountedAndNullsWhereTheRunStopped) {
  ScratchDir dir;
  link_data_files(dir.path());
  const cv::Mat grace = cv::imread(test_photo("grace_hopper.jpg").string());
  cv::Mat pair;
  cv::hconcat(grace, grace, pair);
  ASSERT_TRUE(cv::imwrite((dir / "two.png").string(), pair));
  const json two = analyse(dir.path(), "two.png");
  EXPECT_EQ(two.at("faces"), 2) << two.dump().substr(0, 300);

  write_file(dir / "text.jpg", "not a photo");
  const json none = analyse(dir.path(), "text.jpg");
  for (const char* field : {"pose", "photo_size", "faces", "face_box", "photo_landmarks"}) {
    EXPECT_TRUE(none.at(field).is_null()) << field;
  }
  ASSERT_TRUE(cv::imwrite((dir / "flat.png").string(),
                          cv::Mat(300, 400, CV_8UC3, cv::Scalar(90, 120, 150))));
  const json flat = analyse(dir.path(), "flat.png");
  EXPECT_EQ(flat.at("status"), "ERROR: FACE NOT FOUND");
  EXPECT_EQ(flat.at("photo_size"), json({400, 300}));
  EXPECT_TRUE(flat.at("faces").is_null());  // the cascade stopped the run first
}

// The named angles follow the photo: an in-plane turn of the photo by 10
// degrees either way (counterclockwise positive) moves roll by about that
// much, and a mirrored photo of a face turned well aside turns the other way.
TEST(PhotoFrame, PoseFollowsTurnedAndMirroredPhotos) {
  ScratchDir dir;
  link_data_files(dir.path());
  for (const char* name : {"grace_hopper.jpg", "astronaut.png", "einstein.jpg"}) {
    const cv::Mat photo = read_photo(name);
    const cv::Point2f centre(photo.cols / 2.0f, photo.rows / 2.0f);
    double roll[3];
    for (int turn : {-10, 0, 10}) {
      cv::Mat turned;
      cv::warpAffine(photo, turned, cv::getRotationMatrix2D(centre, turn, 1.0), photo.size(),
                     cv::INTER_LINEAR, cv::BORDER_REPLICATE);
      const std::string file = "turned" + std::to_string(turn) + ".png";
      ASSERT_TRUE(cv::imwrite((dir / file).string(), turned));
      const json line = analyse(dir.path(), file);
      ASSERT_TRUE(line.at("pose").is_object()) << name << " " << turn;
      EXPECT_EQ(line.at("pose").at("unit"), "degree");
      roll[turn / 10 + 1] = line.at("pose").at("roll").get<double>();
    }
    EXPECT_NEAR(roll[2] - roll[1], 10.0, 4.0) << name;
    EXPECT_NEAR(roll[0] - roll[1], -10.0, 4.0) << name;
  }
  const cv::Mat einstein = read_photo("einstein.jpg");
  cv::Mat mirrored;
  cv::flip(einstein, mirrored, 1);
  ASSERT_TRUE(cv::imwrite((dir / "einstein.png").string(), einstein));
  ASSERT_TRUE(cv::imwrite((dir / "mirrored.png").string(), mirrored));
  const double yaw = analyse(dir.path(), "einstein.png").at("pose").at("yaw");
  const double mirrored_yaw = analyse(dir.path(), "mirrored.png").at("pose").at("yaw");
  EXPECT_LT(yaw, -8.0);  // turned to his right: the nose towards the photo's left
  EXPECT_GT(mirrored_yaw, 8.0);
}

}  // namespace

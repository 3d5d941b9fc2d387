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

// The named pose follows the photo: each test photo scaled x0.6 and x1.6,
// mirrored, and turned 10 degrees either way about its centre. Roll follows
// the turn and the mirror closely; pitch and yaw move with the landmarks that
// dlib places anew on each variant, a few degrees typically. A mirrored face
// turned well aside turns the other way.
TEST(PhotoFrame, PoseFollowsScaledTurnedAndMirroredPhotos) {
  ScratchDir dir;
  link_data_files(dir.path());
  struct Variant {
    std::string name;
    cv::Mat image;
    double turn;  // degrees counterclockwise
    bool mirrored;
  };
  std::vector<std::string> files;
  std::vector<Variant> variants;
  for (const char* name : {"grace_hopper", "astronaut", "einstein"}) {
    const cv::Mat photo = read_photo(std::string(name) + (name[0] == 'a' ? ".png" : ".jpg"));
    const cv::Point2f centre((photo.cols - 1) * 0.5f, (photo.rows - 1) * 0.5f);
    cv::Mat small, large, mirrored, left, right;
    cv::resize(photo, small, cv::Size(), 0.6, 0.6, cv::INTER_AREA);
    cv::resize(photo, large, cv::Size(), 1.6, 1.6, cv::INTER_CUBIC);
    cv::flip(photo, mirrored, 1);
    for (auto [turn, out] : {std::pair<double, cv::Mat*>{10, &left}, {-10, &right}}) {
      cv::warpAffine(photo, *out, cv::getRotationMatrix2D(centre, turn, 1.0), photo.size(),
                     cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    }
    for (const Variant& v : {Variant{"original", photo, 0, false}, {"small", small, 0, false},
                             {"large", large, 0, false}, {"mirrored", mirrored, 0, true},
                             {"left", left, 10, false}, {"right", right, -10, false}}) {
      variants.push_back({std::string(name) + "." + v.name, v.image, v.turn, v.mirrored});
      files.push_back(variants.back().name + ".png");
      ASSERT_TRUE(cv::imwrite((dir / files.back()).string(), v.image));
    }
  }
  files.insert(files.begin(), {"--format", "jsonl"});
  const RunResult r = run_program(dir.path(), files, FACEPROBE_BATCH_BIN);
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), variants.size()) << r.err;

  // Each angle's deviation from what the original predicts, against its
  // tolerance (degrees); every one within it, and the median within half.
  const char* const names[] = {"pitch", "yaw", "roll"};
  const double tolerance[] = {3.0, 3.0, 1.5};
  std::vector<double> deviations[3];
  json original;
  for (size_t i = 0; i < variants.size(); ++i) {
    const Variant& v = variants[i];
    const json line = json::parse(lines[i]);
    if (line.at("status") != "ok") continue;  // the small astronaut has too few pixels
    const json& pose = line.at("pose");
    ASSERT_TRUE(pose.is_object()) << v.name << ": " << line.value("pose_error", "");
    EXPECT_EQ(pose.at("unit"), "degree");
    EXPECT_LT(pose.at("fit").get<double>(), 12.0) << v.name;
    if (v.name.find(".original") != std::string::npos) {
      original = pose;
      continue;
    }
    const double sign = v.mirrored ? -1 : 1;
    const double expected[] = {original.at("pitch").get<double>(),
                               sign * original.at("yaw").get<double>(),
                               sign * original.at("roll").get<double>() + v.turn};
    for (int a = 0; a < 3; ++a) {
      deviations[a].push_back(std::abs(pose.at(names[a]).get<double>() - expected[a]));
      EXPECT_LE(deviations[a].back(), tolerance[a]) << v.name << " " << names[a];
    }
    if (v.name == "einstein.mirrored") {
      EXPECT_LT(original.at("yaw").get<double>(), -8.0);  // turned to his right
      EXPECT_GT(pose.at("yaw").get<double>(), 8.0);
    }
  }
  ASSERT_GE(deviations[0].size(), 13u);
  for (int a = 0; a < 3; ++a) {
    std::vector<double>& d = deviations[a];
    std::sort(d.begin(), d.end());
    EXPECT_LE(d[d.size() / 2], tolerance[a] / 2) << names[a];
  }
}

}  // namespace

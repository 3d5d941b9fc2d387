// faceprobe-batch's quality components on real photos and their variants:
// scaled, mirrored, darkened, cut close, blurred, 16-bit and grey.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "quality/quality.h"
#include "tests/support.h"

namespace {

using json = nlohmann::json;

// The components that depend on the face's shape and place in the photo, not
// on its size in pixels, and how far their values may move when the
// landmarks are placed again on a scaled or mirrored copy (the larger of an
// absolute and a relative bound): dlib's points move by a pixel or three,
// and the eye distance that the crop ratios divide by with them.
struct Tolerance {
  const char* name;
  double absolute, relative;
};
const Tolerance kGeometric[] = {{"eyes_open", 0.01, 0},     {"mouth_closed", 0.01, 0},
                                {"head_size", 0, 0.05},     {"leftward_crop", 0, 0.2},
                                {"rightward_crop", 0, 0.2}, {"margin_above", 0, 0.05},
                                {"margin_below", 0, 0.05},  {"head_pitch", 3, 0},
                                {"head_yaw", 3, 0},         {"head_roll", 3, 0}};

// faceprobe-batch's JSON lines for `names` in `dir`, by name.
std::map<std::string, json> analyse(const fs::path& dir, const std::vector<std::string>& names) {
  std::vector<std::string> args = {"--format", "jsonl"};
  args.insert(args.end(), names.begin(), names.end());
  const RunResult run = run_program(dir, args, FACEPROBE_BATCH_BIN);
  EXPECT_EQ(run.status, 0) << run.err;
  std::map<std::string, json> lines;
  for (const std::string& line : lines_of(run.out)) {
    const json object = json::parse(line);
    lines[object.at("path")] = object;
  }
  return lines;
}

int score(const json& line, const std::string& name) {
  return line.at("quality").at(name).at("score").get<int>();
}
double value(const json& line, const std::string& name) {
  return line.at("quality").at(name).at("value").get<double>();
}

// Every analysed photo has every component; each score an integer 0..100
// with its value, each missing value with its reason.
void expect_well_formed(const std::string& name, const json& line) {
  ASSERT_EQ(line.at("status"), "ok") << name;
  const json& quality = line.at("quality");
  ASSERT_EQ(quality.size(), std::size(kQualityComponentNames)) << name;
  for (const auto& [component, entry] : quality.items()) {
    const json& s = entry.at("score");
    if (!s.is_null()) {
      EXPECT_TRUE(s.is_number_integer() && s >= 0 && s <= 100) << name << " " << component;
    }
    if (entry.at("value").is_null()) {
      EXPECT_TRUE(s.is_null() && entry.at("reason").is_string()) << name << " " << component;
    }
  }
}

void write(const fs::path& path, const cv::Mat& image) {
  ASSERT_TRUE(cv::imwrite(path.string(), image)) << path;
}

TEST(QualityPhotos, FollowTheirPhotosVariants) {
  ScratchDir dir;
  link_data_files(dir.path());
  const std::vector<std::string> originals = {"grace_hopper.jpg", "astronaut.png"};
  for (const std::string& name : originals) fs::copy_file(test_photo(name), dir / name);
  std::map<std::string, json> lines = analyse(dir.path(), originals);

  std::vector<std::string> variants;
  for (const std::string& name : originals) {
    const cv::Mat photo = read_photo(name);
    const json& points = lines.at(name).at("photo_landmarks");
    const double eye_x = 0.5 * (points[36][0].get<double>() + points[39][0].get<double>());
    const double eye_distance =
        0.5 * (points[42][0].get<double>() + points[45][0].get<double>()) - eye_x;
    cv::Mat small, large, mirror, dark, blurred, deep, grey;
    // The astronaut's face at 0.6 is smaller than the cascade looks for.
    const double shrink = name == "astronaut.png" ? 0.8 : 0.6;
    cv::resize(photo, small, cv::Size(), shrink, shrink, cv::INTER_AREA);
    cv::resize(photo, large, cv::Size(), 1.6, 1.6, cv::INTER_CUBIC);
    cv::flip(photo, mirror, 1);
    cv::Mat gamma(1, 256, CV_8U);
    for (int i = 0; i < 256; ++i)
      gamma.at<uint8_t>(i) = cv::saturate_cast<uint8_t>(255 * std::pow(i / 255.0, 2.2));
    cv::LUT(photo, gamma, dark);
    cv::GaussianBlur(photo, blurred, cv::Size(), 3);
    photo.convertTo(deep, CV_16U, 257);
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    const int cut = cvRound(eye_x - 0.8 * eye_distance);
    const std::pair<std::string, cv::Mat> made[] = {
        {"small", small},     {"large", large},
        {"mirror", mirror},   {"dark", dark},
        {"blurred", blurred}, {"deep", deep},
        {"grey", grey},       {"cut", photo.colRange(cut, photo.cols)}};
    for (const auto& [kind, image] : made) {
      variants.push_back(kind + "_" + name + ".png");
      write(dir / variants.back(), image);
    }
  }
  for (const auto& [name, line] : analyse(dir.path(), variants)) lines[name] = line;

  for (const auto& [name, line] : lines) {
    expect_well_formed(name, line);
    EXPECT_EQ(score(line, "single_face") == 100, line.at("faces") == 1) << name;
  }
  for (const std::string& name : originals) {
    const json& original = lines.at(name);
    const auto variant = [&](const char* kind) {
      return lines.at(std::string(kind) + "_" + name + ".png");
    };
    for (const char* kind : {"small", "large", "mirror"}) {
      for (const auto& [component, absolute, relative] : kGeometric) {
        std::string same = component;
        // A mirror image swaps the photo's sides and turns the head the other way.
        const bool mirror = std::string(kind) == "mirror";
        if (mirror && same.find("ward_crop") != std::string::npos) {
          same = same == "leftward_crop" ? "rightward_crop" : "leftward_crop";
        }
        const double sign = mirror && (same == "head_yaw" || same == "head_roll") ? -1 : 1;
        const double expected = value(original, component);
        EXPECT_NEAR(sign * value(variant(kind), same), expected,
                    std::max(absolute, relative * std::fabs(expected)))
            << name << " " << kind << " " << component;
        // A score moves more than 2 only where its mapping is steep.
        if (std::string(component) != "margin_above") {
          EXPECT_NEAR(score(variant(kind), same), score(original, component), 2)
              << name << " " << kind << " " << component;
        }
      }
    }
    EXPECT_LT(score(variant("dark"), "luminance_mean"), score(original, "luminance_mean")) << name;
    EXPECT_GT(value(variant("dark"), "under_exposure"), value(original, "under_exposure")) << name;
    EXPECT_LT(score(variant("cut"), "leftward_crop"), score(original, "leftward_crop") - 20)
        << name;
    EXPECT_LT(value(variant("blurred"), "sharpness"), 0.5 * value(original, "sharpness")) << name;
    // 16 bits a channel are read as their high bytes: the same photo.
    EXPECT_EQ(variant("deep").at("quality"), original.at("quality")) << name;
    EXPECT_TRUE(variant("grey").at("quality").at("skin_tone").at("value").is_null()) << name;
    EXPECT_TRUE(original.at("quality").at("skin_tone").at("category").is_string()) << name;
  }

  // The TSV's q_ columns hold the same scores, and our own measures' values.
  const RunResult tsv = run_program(dir.path(), originals, FACEPROBE_BATCH_BIN);
  for (const TsvRow& row : tsv_rows(tsv.out)) {
    const json& quality = lines.at(row.at("path")).at("quality");
    for (const char* name : kQualityComponentNames) {
      const json& entry = quality.at(name);
      const std::string field = row.at(std::string("q_") + name);
      if (entry.at("value").is_null()) {
        EXPECT_EQ(field, "") << name;
      } else if (entry.at("score").is_null()) {
        EXPECT_NEAR(std::stod(field), entry.at("value").get<double>(), 1e-9) << name;
      } else {
        EXPECT_EQ(field, std::to_string(entry.at("score").get<int>())) << name;
      }
    }
  }
}

}  // namespace

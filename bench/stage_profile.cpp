// Times each stage of one faceprobe run separately, on PHOTO scaled to 0.3,
// 12, 19 and 48 megapixels, and prints the median of several repetitions
// with its share of the whole. The face searches run as faceprobe runs them:
// in parallel, or dlib's own with FACEPROBE_SERIAL_SEARCH=1.
// Usage: stage_profile DATA_DIR PHOTO [REPETITIONS]
// DATA_DIR holds the three data files.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "driver/analysis_state.h"
#include "face/detection.h"
#include "face/landmarks.h"
#include "face/normalise.h"
#include "measures/brightness.h"
#include "model/candide.h"
#include "model/head_pose.h"
#include "face/pose_landmarks.h"
#include "model/named_pose.h"
#include "quality/quality.h"

namespace fs = std::filesystem;

namespace {

struct Stage {
  const char* name;
  std::vector<double> wall;  // seconds
  std::vector<double> cpu;   // seconds of all the process's threads
};

double cpu_seconds() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec * 1e-9;
}

void time_once(const std::function<void()>& work, Stage& stage) {
  const double cpu_start = cpu_seconds();
  const auto start = std::chrono::steady_clock::now();
  work();
  stage.wall.push_back(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  stage.cpu.push_back(cpu_seconds() - cpu_start);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// One full run, stage by stage, in the order faceprobe runs them.
void profile_run(const fs::path& data, const std::string& photo_path, std::vector<Stage>& stages) {
  AnalysisState state;
  cv::Mat photo, canvas;
  std::vector<cv::Rect> faces;
  dlib::frontal_face_detector detector;
  auto predictor = std::make_shared<dlib::shape_predictor>();
  std::unique_ptr<LandmarkLocator> locator;
  const std::string output = fs::path(photo_path).replace_extension("").string() + "_resize.jpg";
  int brightness = 0;
  bool found = true;
  LandmarkTable photo_landmarks{};
  PointTable pose_landmarks{};
  NamedPose pose;

  const std::function<void()> steps[] = {
      [&] { photo = load_input_image(photo_path, state); },
      [&] { detect_faces(photo, faces, (data / kCascadeFile).string()); },
      [&] { detector = build_face_detector(); },
      [&] {
        read_shape_predictor((data / kShapePredictorFile).string(), *predictor);
        locator = std::make_unique<LandmarkLocator>(std::move(detector), predictor);
      },
      [&] {
        state.landmark_count = kLandmarkCount;
        found = locate_landmarks(photo, *locator, state) && found;
        std::copy(std::begin(state.landmarks), std::end(state.landmarks),
                  std::begin(photo_landmarks));
      },
      [&] {
        const cv::Rect box =
            face_crop_rect(state.landmarks, state.image_width, state.image_height);
        canvas = letterbox_face(photo(box));
        write_canvas(canvas, output);
      },
      [&] { found = locate_landmarks(canvas, *locator, state) && found; },
      [&] { read_model_vertices(state, (data / kModelFile).string()); },
      [&] { brightness = measure_skin_brightness(canvas, state); },
      [&] {
        estimate_head_pose(state);
        normalise_pose_angles(state);
      },
      [&] { pose_landmarks = place_pose_landmarks(photo, photo_landmarks, *locator->predictor); },
      [&] { pose = solve_named_pose(state, pose_landmarks); },
      [&] { measure_quality(photo, photo_landmarks, {1.0}, pose); },
  };
  for (size_t i = 0; i < stages.size(); ++i) time_once(steps[i], stages[i]);
  if (!found || faces.empty()) throw std::runtime_error("no face in " + photo_path);
  (void)brightness;
}

void print_table(const std::string& title, const std::vector<Stage>& stages) {
  double wall = 0, cpu = 0;
  for (const Stage& s : stages) {
    wall += median(s.wall);
    cpu += median(s.cpu);
  }
  std::printf("\n%s\n\n", title.c_str());
  std::printf("| %-36s | %12s | %11s | %6s |\n", "stage", "wall ms", "CPU ms", "share");
  std::printf("|%s|%s|%s|%s|\n", std::string(38, '-').c_str(), std::string(14, '-').c_str(),
              std::string(13, '-').c_str(), std::string(8, '-').c_str());
  for (const Stage& s : stages) {
    const double m = median(s.wall);
    std::printf("| %-36s | %12.2f | %11.2f | %5.1f%% |\n", s.name, m * 1e3, median(s.cpu) * 1e3,
                100 * m / wall);
  }
  std::printf("| %-36s | %12.2f | %11.2f | %5.1f%% |\n", "whole", wall * 1e3, cpu * 1e3, 100.0);
}

// The shape model read by faceprobe's reader and by dlib's own, alternating,
// in this one process.
void compare_model_readers(const fs::path& data, int repetitions) {
  const std::string path = (data / kShapePredictorFile).string();
  Stage ours{"faceprobe's reader", {}, {}}, dlibs{"dlib::deserialize", {}, {}};
  for (int r = 0; r < repetitions; ++r) {
    time_once([&] { dlib::shape_predictor p; read_shape_predictor(path, p); }, ours);
    time_once([&] { dlib::shape_predictor p; dlib::deserialize(path) >> p; }, dlibs);
  }
  std::printf("\nshape model read, median of %d runs each, alternating\n\n", repetitions);
  std::printf("| reader | wall ms | CPU ms |\n|---|---|---|\n");
  for (const Stage* s : {&ours, &dlibs}) {
    std::printf("| %s | %.1f | %.1f |\n", s->name, median(s->wall) * 1e3, median(s->cpu) * 1e3);
  }
  std::printf("\nfaceprobe's reader / dlib's: %.3f of the wall time\n",
              median(ours.wall) / median(dlibs.wall));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: stage_profile DATA_DIR PHOTO [REPETITIONS]\n";
    return 2;
  }
  const fs::path data = argv[1];
  const int repetitions = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  const fs::path scratch = fs::temp_directory_path() / "faceprobe-stage-profile";
  fs::create_directories(scratch);

  const cv::Mat original = cv::imread(argv[2], cv::IMREAD_COLOR);
  if (original.empty()) {
    std::cerr << "cannot read " << argv[2] << "\n";
    return 2;
  }
  // From a small web photo to a large phone photo.
  const struct {
    const char* name;
    double megapixels;
  } sizes[] = {{"0.3 MP", 0.3}, {"12 MP", 12.0}, {"19 MP", 19.0}, {"48 MP", 48.0}};
  for (const auto& size : sizes) {
    const double scale = std::sqrt(size.megapixels * 1e6 / original.total());
    cv::Mat scaled;
    cv::resize(original, scaled, cv::Size(), scale, scale,
               scale < 1 ? cv::INTER_AREA : cv::INTER_CUBIC);
    const std::string path =
        (scratch / ("photo-" + std::to_string(size.megapixels) + ".png")).string();
    cv::imwrite(path, scaled);

    std::vector<Stage> stages = {
        {"image load", {}, {}},           {"cascade load + search", {}, {}},
        {"detector build", {}, {}},       {"shape model read", {}, {}},
        {"first landmark pass", {}, {}},  {"crop + letterbox + JPEG write", {}, {}},
        {"second landmark pass", {}, {}}, {"model file read", {}, {}},
        {"brightness", {}, {}},           {"pose", {}, {}},
        {"landmarks for the named pose", {}, {}},
        {"named pose (batch, service)", {}, {}},
        {"quality components (batch, service)", {}, {}},
    };
    for (int r = 0; r < repetitions; ++r) profile_run(data, path, stages);
    std::ostringstream title;
    title << size.name << " photo: " << scaled.cols << "x" << scaled.rows << " ("
          << std::fixed << std::setprecision(1) << scaled.total() / 1e6 << " MP), median of "
          << repetitions << " runs";
    print_table(title.str(), stages);
  }
  compare_model_readers(data, repetitions);
  fs::remove_all(scratch);
  return 0;
}

#include "analysis/photo_analysis.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <exception>
#include <filesystem>
#include <iostream>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <vector>

#include "analysis/image_header.h"

namespace fs = std::filesystem;
#include "driver/analysis.h"
#include "driver/report.h"
#include "face/detection.h"
#include "face/normalise.h"
#include "face/pose_landmarks.h"
#include "face/task_pool.h"
#include "model/candide.h"
#include "model/named_pose.h"

std::string find_data_dir(const std::string& given, std::string& error) {
  if (!given.empty()) return given;
  const char* const files[] = {kCascadeFile, kShapePredictorFile, kModelFile};
  // Beside the installed program (bin/../share/faceprobe, whatever the
  // prefix), then where the build meant to install them.
  std::vector<std::string> places = {"."};
  std::error_code failed;
  const fs::path program = fs::read_symlink("/proc/self/exe", failed);
  if (!failed) {
    places.push_back((program.parent_path().parent_path() / "share" / "faceprobe").string());
  }
  if (places.back() != FACEPROBE_DATA_DIR) places.push_back(FACEPROBE_DATA_DIR);
  std::string missing;
  for (const std::string& place : places) {
    std::string absent;
    for (const char* file : files) {
      std::error_code ignored;
      if (!fs::exists(place + "/" + file, ignored)) absent += " " + std::string(file);
    }
    if (absent.empty()) return place;
    missing += (missing.empty() ? "" : "; ") + std::string("not in ") +
               (place == "." ? "the working directory" : place) + ":" + absent;
  }
  error = "the data files are not to be found (" + missing + "); give --data DIR";
  return "";
}

bool load_analysis_models(const std::string& data_dir, std::unique_ptr<AnalysisModels>& models,
                       std::string& error) {
  const std::string cascade_path = data_dir + "/" + kCascadeFile;
  cv::CascadeClassifier cascade;
  if (!cascade.load(cascade_path)) {
    error = "cannot load the face cascade " + cascade_path;
    return false;
  }
  const std::string model_path = data_dir + "/" + kModelFile;
  AnalysisState state;
  std::ostringstream diagnostics;
  try {
    read_model_vertices(state, model_path, diagnostics);
  } catch (const std::exception& e) {
    diagnostics << e.what();
  }
  if (!diagnostics.str().empty()) {
    const std::string first = diagnostics.str().substr(0, diagnostics.str().find('\n'));
    error = "the face model " + model_path + " is missing or broken: " + first;
    return false;
  }
  try {
    models.reset(new AnalysisModels{cascade_path,
                                 LandmarkLocator(data_dir + "/" + kShapePredictorFile), {}});
  } catch (const std::exception& e) {
    error = std::string("cannot load the shape predictor: ") + e.what();
    return false;
  }
  std::copy(std::begin(state.model_vertices), std::end(state.model_vertices),
            std::begin(models->vertices));
  return true;
}

Worker::Worker(const AnalysisModels& models) : locator(models.locator), models(models) {
  cascade.load(models.cascade_path);  // loaded once already: it cannot fail now
}

namespace {

// The cascade's answer to whether the photo shows a face and, when it does,
// the faces the first landmark pass searches for. Both need only the photo:
// on a free core the cascade runs beside the search. The cascade still
// decides first: without its face the analysis ends, whatever the search
// found or raised. With no core free it runs first, as faceprobe runs it,
// and a photo it finds no face in costs no search.
bool pass_face_gate(const cv::Mat& photo, Worker& worker,
                    std::vector<dlib::rect_detection>& photo_faces) {
  std::vector<cv::Rect> faces;
  if (!core_free()) {
    search_faces(worker.cascade, photo, faces);
    if (faces.empty()) return false;
    photo_faces = find_landmark_faces(photo, worker.locator.detector, *worker.locator.search);
    return true;
  }
  TaskGroup gate;
  gate.spawn([&] { search_faces(worker.cascade, photo, faces); });
  try {
    photo_faces = find_landmark_faces(photo, worker.locator.detector, *worker.locator.search);
  } catch (...) {
    gate.wait();
    if (faces.empty()) return false;
    throw;
  }
  gate.wait();
  return !faces.empty();
}

// The named pose, from the first pass's points placed again for it; a first
// pass no face could give is refused as it stands.
NamedPose name_pose(const cv::Mat& photo, const AnalysisState& state,
                    const LandmarkTable& first_pass, const dlib::shape_predictor& predictor) {
  NamedPose pose;
  pose.reason = named_pose_fault(state, point_table(first_pass));
  if (!pose.reason.empty()) return pose;
  return solve_named_pose(state, place_pose_landmarks(photo, first_pass, predictor));
}

// The quality components of the analysed face. A failure here costs the
// quality, never the record.
void add_quality(const cv::Mat& photo, const std::vector<dlib::rect_detection>& photo_faces,
                 PhotoResult& result) {
  std::vector<double> areas;
  for (const dlib::rect_detection& face : photo_faces) {
    areas.push_back(static_cast<double>(face.rect.area()));
  }
  try {
    result.quality = measure_quality(photo, result.photo_landmarks, areas, result.pose);
    result.quality_measured = true;
  } catch (const std::exception& e) {
    result.quality_error = e.what();
  }
}

// faceprobe's run from the loaded photo on; the status stays "ok" only when
// the record is complete.
void run_stages(const cv::Mat& photo, const std::string& output_path,
                const std::string& annotated_path, Worker& worker, PhotoResult& result) {
  AnalysisState& state = result.state;
  std::vector<dlib::rect_detection> photo_faces;
  if (!pass_face_gate(photo, worker, photo_faces)) {
    result.status = "ERROR: FACE NOT FOUND";
    return;
  }
  state.landmark_count = kLandmarkCount;
  cv::Mat canvas;
  std::string write_error;
  result.first_pass_ran = true;
  const bool placed =
      place_landmarks(photo, photo_faces, output_path, worker.locator, state, canvas,
                      &write_error, &result.photo_pass, &result.photo_landmarks);
  result.photo_landmarks_placed = result.photo_pass.faces > 0;
  if (!placed) {
    result.status = "ERROR: FACE NOT FOUND";
    return;
  }
  std::string record;
  append_landmark_segment(record, state);
  result.brightness = measure_face(canvas, state, record);
  result.pose = name_pose(photo, state, result.photo_landmarks, *worker.locator.predictor);
  add_quality(photo, photo_faces, result);
  result.status = "ok";
  result.payload = record;
  result.write_error = write_error;
  if (write_error.empty()) result.normalised_path = output_path;
  if (annotated_path.empty()) return;
  errno = 0;
  if (write_canvas(annotate_face(canvas, state, result.pose), annotated_path)) {
    result.annotated_path = annotated_path;
    return;
  }
  const std::string why = std::string("cannot write ") + annotated_path +
                          (errno ? std::string(": ") + std::strerror(errno) : "");
  result.write_error += (result.write_error.empty() ? "" : "; ") + why;
}

}  // namespace

void warm_up_opencv(const AnalysisModels& models) {
  AnalysisState state;
  std::copy(std::begin(models.vertices), std::end(models.vertices),
            std::begin(state.model_vertices));
  for (int i = 0; i < kLandmarkCount; ++i) state.landmarks[i] = {100 + 5 * i, 300 - 3 * i};
  cv::Mat canvas(kCanvasSide, kCanvasSide, CV_8UC3, cv::Scalar::all(255));
  std::string record;
  measure_face(canvas, state, record);
}

bool refused_from_header(const ImageHeader& header, const PhotoLimits& limits,
                         PhotoResult& result) {
  if (!(limits.formats & format_bit(header.format))) {
    result.status = "ERROR: FORMAT NOT ACCEPTED";
    result.payload = std::string("the file is ") +
                     (header.format == ImageFormat::kUnknown ? "of no image format known here"
                                                             : format_name(header.format)) +
                     "; accepted: " + format_names(limits.formats);
    return true;
  }
  if (header.pixels > limits.max_pixels) {
    result.status = "ERROR: IMAGE TOO LARGE";
    return true;
  }
  if (header.scans > kMaxJpegScans) {
    result.status = "ERROR: IMAGE TOO LARGE";
    result.payload = "a progressive JPEG of " + std::to_string(header.scans) +
                     " scans; at most " + std::to_string(kMaxJpegScans) + " are decoded";
    return true;
  }
  return false;
}

PhotoResult analyse_photo(const std::string& path, const std::string& output_path,
                          const std::string& annotated_path, const PhotoLimits& limits,
                          Worker& worker) {
  PhotoResult result;
  std::copy(std::begin(worker.models.vertices), std::end(worker.models.vertices),
            std::begin(result.state.model_vertices));
  result.state.vertex_count = kVertexCount;
  try {
    struct stat info;
    const bool exists = ::stat(path.c_str(), &info) == 0;
    if (exists && !S_ISREG(info.st_mode)) {
      result.status = "ERROR: IMAGE NOT FOUND";
      result.payload = "not a regular file";
      return result;
    }
    // A missing or unreadable photo is the loader's to report.
    if (exists && refused_from_header(read_image_header_file(path), limits, result)) {
      return result;
    }
    const cv::Mat photo = load_input_image(path, result.state);
    if (photo.empty()) {
      result.status = "ERROR: IMAGE NOT FOUND";
      return result;
    }
    result.loaded = true;
    // A format whose header is not read is held to the limit once decoded,
    // so that every photo beyond it gets the same line.
    if (static_cast<int64_t>(photo.total()) > limits.max_pixels) {
      result.status = "ERROR: IMAGE TOO LARGE";
      return result;
    }
    run_stages(photo, output_path, annotated_path, worker, result);
  } catch (const std::exception& e) {
    result.status = "ERROR: EXCEPTION THROWN!";
    result.payload = e.what();
  }
  return result;
}

cv::Mat annotate_face(const cv::Mat& canvas, const AnalysisState& state, const NamedPose& pose) {
  cv::Mat picture = canvas.clone();
  for (int i = 0; i < state.landmark_count; ++i) {
    cv::circle(picture, {state.landmarks[i].x, state.landmarks[i].y}, 3, {0, 220, 255},
               cv::FILLED, cv::LINE_AA);
  }
  if (!pose.solved) return picture;
  // The head's axes as the named angles give them, seen along the line of
  // sight (canvas pixels; y down): x red, to the face's left; y green, up;
  // z blue, out of the face.
  constexpr double kAxisLength = 120.0;
  const cv::Point2d origin(state.landmarks[27].x, state.landmarks[27].y);
  const cv::Scalar colours[3] = {{0, 0, 255}, {0, 200, 0}, {255, 0, 0}};
  for (int axis = 0; axis < 3; ++axis) {
    const cv::Point2d end =
        origin + kAxisLength * cv::Point2d(pose.head(0, axis), -pose.head(1, axis));
    cv::arrowedLine(picture, origin, end, colours[axis], 3, cv::LINE_AA, 0, 0.15);
    // The name a little beyond the arrow's tip.
    const cv::Point2d beyond = end + 0.15 * (end - origin);
    cv::putText(picture, std::string(1, static_cast<char>('x' + axis)),
                beyond + cv::Point2d(-6, 6), cv::FONT_HERSHEY_SIMPLEX, 0.7, colours[axis], 2,
                cv::LINE_AA);
  }
  return picture;
}

#include "quality/quality.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include "quality/face_frame.h"
#include "quality/face_pixels.h"
#include "quality/scores.h"

namespace {

// The larger of a pair of distances between landmarks.
double wider(const FaceFrame& frame, int a, int b, int c, int d) {
  return std::max(cv::norm(frame.points[a] - frame.points[b]),
                  cv::norm(frame.points[c] - frame.points[d]));
}

// Landmark geometry: eyes, mouth, size, crop; T and IED are not 0 here.
void add_geometry(const FaceFrame& frame, const cv::Size& photo, const NamedPose& pose,
                  std::vector<QualityComponent>& out) {
  const double t = frame.eye_to_chin, ied = frame.eye_distance;
  const double eye = std::min(wider(frame, 37, 41, 38, 40), wider(frame, 43, 47, 44, 46));
  out.push_back(scored_component("eyes_open", eye / t, eyes_open_score));
  const double mouth =
      std::max(wider(frame, 61, 67, 62, 66), cv::norm(frame.points[63] - frame.points[65]));
  out.push_back(scored_component("mouth_closed", mouth / t, mouth_closed_score));
  if (pose.solved) {
    out.push_back(scored_component("inter_eye_distance", ied / std::cos(pose.yaw * M_PI / 180),
                                   inter_eye_distance_score));
  } else {
    out.push_back(undefined_component("inter_eye_distance", "no head pose: " + pose.reason));
  }
  out.push_back(scored_component("head_size", t / photo.height, head_size_score));
  out.push_back(scored_component("leftward_crop", frame.left_eye.x / ied, side_crop_score));
  out.push_back(
      scored_component("rightward_crop", (photo.width - frame.right_eye.x) / ied, side_crop_score));
  out.push_back(scored_component("margin_above", frame.eye_mid.y / t, margin_above_score));
  out.push_back(
      scored_component("margin_below", (photo.height - frame.eye_mid.y) / t, margin_below_score));
  const char* names[3] = {"head_pitch", "head_yaw", "head_roll"};
  const double angles[3] = {pose.pitch, pose.yaw, pose.roll};
  for (int i = 0; i < 3; ++i) {
    out.push_back(pose.solved ? scored_component(names[i], angles[i], head_angle_score)
                              : undefined_component(names[i], "no head pose: " + pose.reason));
  }
}

// 0 for one face, else the second-largest face's area over the largest's.
double second_face_ratio(std::vector<double> areas) {
  if (areas.size() < 2) return 0;
  std::sort(areas.begin(), areas.end(), std::greater<double>());
  return areas[0] > 0 ? areas[1] / areas[0] : 0;
}

const char* const kGeometryNames[] = {"eyes_open",    "mouth_closed",  "inter_eye_distance",
                                      "head_size",    "leftward_crop", "rightward_crop",
                                      "margin_above", "margin_below",  "head_pitch",
                                      "head_yaw",     "head_roll"};

}  // namespace

const char* const kQualityComponentNames[22] = {"luminance_mean",     "luminance_variance",
                                                "under_exposure",     "over_exposure",
                                                "dynamic_range",      "illumination_uniformity",
                                                "natural_colour",     "skin_tone",
                                                "eyes_open",          "mouth_closed",
                                                "inter_eye_distance", "head_size",
                                                "leftward_crop",      "rightward_crop",
                                                "margin_above",       "margin_below",
                                                "head_pitch",         "head_yaw",
                                                "head_roll",          "single_face",
                                                "sharpness",          "background_uniformity"};

QualityComponent scored_component(const char* name, double value, int (*score)(double)) {
  QualityComponent component;
  component.name = name;
  component.scored = score != nullptr;
  component.defined = std::isfinite(value);
  if (!component.defined) {
    component.reason = "not a finite number";
    return component;
  }
  component.value = value;
  if (score) component.score = score(value);
  return component;
}

QualityComponent undefined_component(const char* name, const std::string& reason, bool scored) {
  QualityComponent component;
  component.name = name;
  component.scored = scored;
  component.reason = reason;
  return component;
}

FaceQuality measure_quality(const cv::Mat& photo, const LandmarkTable& landmarks,
                            const std::vector<double>& face_areas, const NamedPose& pose) {
  CV_Assert(photo.type() == CV_8UC3);
  FaceQuality quality;
  const FaceFrame frame = face_frame(landmarks);
  add_pixel_components(photo, frame, quality);
  if (frame.eye_distance >= 1 && frame.eye_to_chin >= 1) {
    add_geometry(frame, photo.size(), pose, quality.components);
  } else {
    for (const char* name : kGeometryNames) {
      quality.components.push_back(undefined_component(name, "the eyes or the chin coincide"));
    }
  }
  quality.components.push_back(
      scored_component("single_face", second_face_ratio(face_areas), single_face_score));
  add_model_free_components(photo, frame, quality);
  return quality;
}

const QualityComponent* find_component(const FaceQuality& quality, const std::string& name) {
  for (const QualityComponent& component : quality.components) {
    if (name == component.name) return &component;
  }
  return nullptr;
}

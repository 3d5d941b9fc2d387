#include "analysis/json_result.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "driver/report.h"

namespace {

// The angle as the record prints it (six decimals), as a JSON number.
Json json_angle(double angle) {
  if (!std::isfinite(angle)) return nullptr;
  return std::stod(format_angle(angle));
}

// A named head angle (or the pose's fit) to two decimals, a finer figure
// than the method holds.
Json json_pose_angle(double angle) {
  return std::stod(format_pose_angle(angle));
}

}  // namespace

namespace {

Json points(const LandmarkTable& table, int count) {
  Json list = Json::array();
  for (int i = 0; i < count; ++i) list.push_back({table[i].x, table[i].y});
  return list;
}

// The photo's own frame, null for what the run did not reach.
void add_photo_fields(Json& object, const PhotoResult& result) {
  const AnalysisState& state = result.state;
  object["photo_size"] =
      result.loaded ? Json{state.image_width, state.image_height} : Json(nullptr);
  object["faces"] = result.first_pass_ran ? Json(result.photo_pass.faces) : Json(nullptr);
  const cv::Rect& box = result.photo_pass.box;
  object["face_box"] = result.photo_landmarks_placed
                           ? Json{box.x, box.y, box.width, box.height}
                           : Json(nullptr);
  object["photo_landmarks"] = result.photo_landmarks_placed
                                  ? points(result.photo_landmarks, kLandmarkCount)
                                  : Json(nullptr);
}

// A component's value to six significant digits, finer than any of them holds.
Json json_value(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return std::stod(text);
}

Json json_component(const QualityComponent& component, const FaceQuality& quality) {
  Json object;
  object["value"] = component.defined ? json_value(component.value) : Json(nullptr);
  object["score"] = component.defined && component.scored ? Json(component.score) : Json(nullptr);
  if (!component.defined) object["reason"] = component.reason;
  if (std::string(component.name) == "skin_tone") {
    if (component.defined) object["category"] = quality.skin_category;
    if (quality.lab_defined) {
      object["lab"] = {json_value(quality.lab[0]), json_value(quality.lab[1]),
                       json_value(quality.lab[2])};
    }
  }
  return object;
}

// The quality components, null unless they were measured.
void add_quality_fields(Json& object, const PhotoResult& result) {
  if (!result.quality_measured) {
    object["quality"] = nullptr;
    if (!result.quality_error.empty()) object["quality_error"] = result.quality_error;
    return;
  }
  Json components;
  for (const QualityComponent& component : result.quality.components) {
    components[component.name] = json_component(component, result.quality);
  }
  object["quality"] = components;
}

}  // namespace

void add_analysis_fields(Json& object, const PhotoResult& result) {
  if (result.status != "ok") {
    if (!result.payload.empty()) set_name_field(object, "message", result.payload);
    object["pose"] = nullptr;
    add_photo_fields(object, result);
    add_quality_fields(object, result);
    return;
  }
  const AnalysisState& state = result.state;
  object["landmarks"] = points(state.landmarks, state.landmark_count);
  object["brightness"] = result.brightness;
  object["angles"] = {json_angle(state.reported_angles[0]), json_angle(state.reported_angles[1]),
                      json_angle(state.reported_angles[2])};
  if (result.pose.solved) {
    object["pose"] = {{"pitch", json_pose_angle(result.pose.pitch)},
                      {"yaw", json_pose_angle(result.pose.yaw)},
                      {"roll", json_pose_angle(result.pose.roll)},
                      {"unit", "degree"},
                      {"fit", json_pose_angle(result.pose.fit)}};
  } else {
    object["pose"] = nullptr;
    object["pose_error"] = result.pose.reason;
  }
  add_photo_fields(object, result);
  add_quality_fields(object, result);
}

bool is_utf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3
                                     : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    uint32_t code = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    const uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
      return false;
    }
    i += length;
  }
  return true;
}

std::string base64(const std::string& bytes) {
  static const char digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) {
      group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0);
    }
    for (size_t k = 0; k < 4; ++k) out += k <= n ? digits[(group >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

void set_name_field(Json& object, const std::string& field, const std::string& text) {
  object[field] = text;
  if (!is_utf8(text)) object[field + "_base64"] = base64(text);
}

std::string json_text(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string format_pose_angle(double angle) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", angle);
  // A tiny negative angle reads 0.00, not -0.00.
  return std::strcmp(text, "-0.00") == 0 ? "0.00" : text;
}

#include "batch/json_result.h"

#include <cmath>

#include "driver/report.h"

namespace {

// The angle as the record prints it (six decimals), as a JSON number.
Json json_angle(double angle) {
  if (!std::isfinite(angle)) return nullptr;
  return std::stod(format_angle(angle));
}

}  // namespace

void add_analysis_fields(Json& object, const PhotoResult& result) {
  if (result.status != "ok") {
    if (!result.payload.empty()) object["message"] = result.payload;
    return;
  }
  const AnalysisState& state = result.state;
  Json landmarks = Json::array();
  for (int i = 0; i < state.landmark_count; ++i) {
    landmarks.push_back({state.landmarks[i].x, state.landmarks[i].y});
  }
  object["landmarks"] = std::move(landmarks);
  object["brightness"] = result.brightness;
  object["angles"] = {json_angle(state.reported_angles[0]), json_angle(state.reported_angles[1]),
                      json_angle(state.reported_angles[2])};
}

std::string json_text(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

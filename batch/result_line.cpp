#include "batch/result_line.h"

#include <cmath>
#include <cstdio>

#include "driver/report.h"

std::string tsv_escape(const std::string& field) {
  std::string out;
  for (char c : field) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

namespace {

// The record's own text for an angle, or null where JSON has no number.
std::string json_angle(double angle) {
  return std::isfinite(angle) ? format_angle(angle) : "null";
}

std::string jsonl_line(const std::string& path, const PhotoResult& result) {
  std::string line = "{\"path\":" + json_string(path) + ",\"status\":" + json_string(result.status);
  if (result.status != "ok") {
    if (!result.payload.empty()) line += ",\"message\":" + json_string(result.payload);
    return line + "}\n";
  }
  const AnalysisState& state = result.state;
  line += ",\"landmarks\":[";
  for (int i = 0; i < state.landmark_count; ++i) {
    line += (i ? ",[" : "[") + std::to_string(state.landmarks[i].x) + "," +
            std::to_string(state.landmarks[i].y) + "]";
  }
  line += "],\"brightness\":" + std::to_string(result.brightness) + ",\"angles\":[" +
          json_angle(state.reported_angles[0]) + "," + json_angle(state.reported_angles[1]) +
          "," + json_angle(state.reported_angles[2]) +
          "],\"normalised\":" + json_string(result.normalised_path) + "}\n";
  return line;
}

}  // namespace

std::string result_line(const std::string& path, const PhotoResult& result, OutputFormat format) {
  if (format == OutputFormat::kJsonl) return jsonl_line(path, result);
  return tsv_escape(path) + "\t" + tsv_escape(result.status) + "\t" + tsv_escape(result.payload) +
         "\n";
}

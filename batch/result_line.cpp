#include "batch/result_line.h"

#include "analysis/json_result.h"

#include <cstdio>

std::string tsv_escape(const std::string& field) {
  std::string out;
  for (char c : field) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      // A field that begins with a quote would open a quoted field for a
      // CSV reader (pandas' among them), swallowing the tabs that follow.
      case '"': out += "\\x22"; break;
      default:
        // Other control bytes, so that a name cannot drive a terminal.
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escaped[5];
          std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out;
}

namespace {

std::string jsonl_line(const std::string& path, const PhotoResult& result) {
  Json line;
  set_name_field(line, "path", path);
  line["status"] = result.status;
  add_analysis_fields(line, result);
  if (result.status == "ok") {
    if (result.normalised_path.empty()) {
      line["normalised"] = nullptr;
    } else {
      set_name_field(line, "normalised", result.normalised_path);
    }
    if (!result.annotated_path.empty()) set_name_field(line, "annotated", result.annotated_path);
  }
  if (!result.write_error.empty()) set_name_field(line, "write_error", result.write_error);
  return json_text(line) + "\n";
}

}  // namespace

namespace {

std::string make_tsv_header() {
  std::string header =
      "path\tstatus\tbrightness\tpitch\tyaw\troll\tnormalised\trecord\tmessage\tpose_fit";
  for (const char* name : kQualityComponentNames) header += std::string("\tq_") + name;
  return header + "\n";
}

// A component's score or, for our own measures, its value; empty where not
// defined.
std::string quality_field(const QualityComponent& component) {
  if (!component.defined) return "";
  if (component.scored) return std::to_string(component.score);
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", component.value);
  return text;
}

}  // namespace

const std::string kTsvHeader = make_tsv_header();

std::string result_line(const std::string& path, const PhotoResult& result, OutputFormat format) {
  if (format == OutputFormat::kJsonl) return jsonl_line(path, result);
  const bool ok = result.status == "ok";
  std::string line = tsv_escape(path) + "\t" + tsv_escape(result.status) + "\t";
  if (ok) line += std::to_string(result.brightness);
  for (double angle : {result.pose.pitch, result.pose.yaw, result.pose.roll}) {
    line += "\t";
    if (ok && result.pose.solved) line += format_pose_angle(angle);
  }
  line += "\t" + tsv_escape(result.normalised_path) + "\t";
  if (ok) line += tsv_escape(result.payload);
  std::string message = ok ? "" : result.payload;
  if (!result.write_error.empty()) message += (message.empty() ? "" : "; ") + result.write_error;
  line += "\t" + tsv_escape(message) + "\t";
  if (ok && result.pose.solved) line += format_pose_angle(result.pose.fit);
  for (size_t i = 0; i < std::size(kQualityComponentNames); ++i) {
    line += "\t";
    if (ok && result.quality_measured) line += quality_field(result.quality.components[i]);
  }
  return line + "\n";
}

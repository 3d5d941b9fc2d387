#include "batch/result_line.h"

#include "batch/json_result.h"

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

namespace {

std::string jsonl_line(const std::string& path, const PhotoResult& result) {
  Json line;
  line["path"] = path;
  line["status"] = result.status;
  add_analysis_fields(line, result);
  if (result.status == "ok") {
    line["normalised"] = result.normalised_path.empty() ? Json(nullptr) : Json(result.normalised_path);
    if (!result.annotated_path.empty()) line["annotated"] = result.annotated_path;
  }
  if (!result.write_error.empty()) line["write_error"] = result.write_error;
  return json_text(line) + "\n";
}

}  // namespace

std::string result_line(const std::string& path, const PhotoResult& result, OutputFormat format) {
  if (format == OutputFormat::kJsonl) return jsonl_line(path, result);
  std::string line =
      tsv_escape(path) + "\t" + tsv_escape(result.status) + "\t" + tsv_escape(result.payload);
  if (!result.write_error.empty()) line += "\t" + tsv_escape(result.write_error);
  return line + "\n";
}

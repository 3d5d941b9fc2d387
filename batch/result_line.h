// One photo's result line on standard output.
#pragma once

#include <string>

#include "analysis/photo_analysis.h"
#include "batch/options.h"

// TSV: one row of the columns kTsvHeader names: the path; the status (ok or
// an error line); on ok lines the brightness, the named head angles (empty
// where no pose in front of the camera was found), the normalised image
// (empty where it was not written) and the record, exactly faceprobe's; and a
// message: an error's reason, or why a requested file was not written; the
// pose's fit; then a q_<component> column per quality component, on ok lines
// its score or, for our own measures without one (skin tone's typology angle,
// sharpness, background uniformity), its value, empty where undefined. A
// backslash, tab, line feed or carriage return inside a field is written as
// \\, \t, \n or \r, a double quote and any other control byte as \xHH.
// JSONL: one JSON object (json_result.h). Both end with a line feed.
std::string result_line(const std::string& path, const PhotoResult& result, OutputFormat format);

// The TSV header row, line feed included.
extern const std::string kTsvHeader;

std::string tsv_escape(const std::string& field);

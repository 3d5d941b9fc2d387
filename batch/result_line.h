// One photo's result line on standard output.
#pragma once

#include <string>

#include "batch/options.h"
#include "batch/photo_analysis.h"

// TSV: path, status and record (or an exception's message), tab-separated,
// and a fourth field saying why where a requested file was not written; a
// backslash, tab, line feed or carriage return inside a field is written as
// \\, \t, \n or \r, any other control byte as \xHH. JSONL: one JSON object
// (json_result.h). Both end with a line feed.
std::string result_line(const std::string& path, const PhotoResult& result, OutputFormat format);

std::string tsv_escape(const std::string& field);

// The JSON of one photo's analysis, one writer for faceprobe-batch's JSONL
// and faceprobe-serve's answers, so that both give the same fields for the
// same photo.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "analysis/photo_analysis.h"

// Fields kept in the order they are set.
using Json = nlohmann::ordered_json;

// Adds the analysis's fields after `status`: `message` (an exception's text,
// or the photo that took the normalised image's name) when there is one; on
// success `landmarks` (68 [x, y] pairs of the normalised image), `brightness`
// and `angles` (the record's three angles, null where not a finite number);
// `pose` {pitch, yaw, roll, unit} (head_pose.h's named angles), null unless
// the photo was analysed and a pose in front of the camera found; then,
// whatever the status, the photo's own frame, null where the run ended before
// the value existed: `photo_size` [width, height], `faces` (how many
// the landmark detector found on the photo), `face_box` [left, top, width,
// height] of the face analysed and `photo_landmarks` (the first pass's 68
// points), in photo pixels; last `quality`, each component's {value, score}
// (value and score null, with a reason, where not defined; score null for
// our own measures), null unless the photo was analysed.
void add_analysis_fields(Json& object, const PhotoResult& result);

// Sets `field` to `text`; where the text is not valid UTF-8 (a file name may
// hold any bytes) also `field`_base64 with its exact bytes.
void set_name_field(Json& object, const std::string& field, const std::string& text);

bool is_utf8(const std::string& text);
std::string base64(const std::string& bytes);

// One line of JSON, without a line break. Bytes that are not UTF-8 (a file
// name may hold any) are written as U+FFFD, so that every line parses.
std::string json_text(const Json& value);

// A named head angle as written in JSON and TSV: two decimals.
std::string format_pose_angle(double angle);

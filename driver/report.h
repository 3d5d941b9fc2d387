// The result record: 136 landmark coordinates, "||", brightness, "||", three
// pose angles. One line of digits, "-", ".", "," and "|", no final line break.
#pragma once

#include <string>

#include "driver/analysis_state.h"

void append_landmark_segment(std::string& report, const AnalysisState& state);
void append_brightness_segment(std::string& report, int32_t percentage);
void append_angle_segment(std::string& report, const AnalysisState& state);

// Writes the record to standard output and flushes it. Returns false when the
// stream failed (full disk, closed pipe): the record did not arrive.
bool write_report(const std::string& report);

// Angle text: std::to_string's "%f", with "nan", "inf", "-inf" for the
// non-finite values.
std::string format_angle(double angle);

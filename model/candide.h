// Reader of the CANDIDE-3 face model's vertex list.
#pragma once

#include <iostream>
#include <string>

#include "driver/analysis_state.h"

inline const char* const kModelFile = "candide3.txt";

// Reads 113 vertices, one per line "label: x, y, z", into
// state.model_vertices. Complaints go to `diagnostics` and reading goes on;
// a line too short to cut raises std::out_of_range.
void read_model_vertices(AnalysisState& state,
                         const std::string& path = kModelFile,
                         std::ostream& diagnostics = std::cerr);

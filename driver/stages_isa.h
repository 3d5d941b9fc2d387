// Which copy of the stages library runs: "x86-64" (any processor),
// "x86-64-v3" (AVX2), or "native" in a build for one machine.
#pragma once

#include <string>

const char* stages_isa();

// "PROGRAM VERSION (ISA)", the line --version prints.
std::string version_line(const std::string& program);

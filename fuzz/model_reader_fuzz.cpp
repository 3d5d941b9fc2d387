// The model reader on arbitrary file contents: diagnostics, or the
// out-of-range error that ends a run in the trap; nothing else.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "model/candide.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = "/tmp/faceprobe-fuzz-model-" + std::to_string(getpid());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), size);
  AnalysisState state;
  std::ostringstream diagnostics;
  try {
    read_model_vertices(state, path, diagnostics);
  } catch (const std::out_of_range&) {
  }
  return 0;
}

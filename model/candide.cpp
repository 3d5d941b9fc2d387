#include "model/candide.h"

#include <cstdlib>
#include <fstream>

namespace {

// Position of `c` at or after `from`; not-found is reported, then returned
// as npos so that the cuts below work from it as unsigned arithmetic.
size_t find_or_complain(const std::string& line, char c, size_t from,
                        std::ostream& diagnostics) {
  const size_t at = line.find(c, from);
  if (at == std::string::npos) diagnostics << "Invalid file" << std::endl;
  return at;
}

float to_float(const std::string& text) {
  return static_cast<float>(std::atof(text.c_str()));
}

}  // namespace

void read_model_vertices(AnalysisState& state, const std::string& path,
                         std::ostream& diagnostics) {
  std::ifstream file(path);
  if (!file.is_open()) {
    diagnostics << "Failed opening " << path << " for reading!" << std::endl;
  }
  state.vertex_count = kVertexCount;
  // Kept across reads: a read on a stream at its end leaves the previous line
  // in place, so a file of fewer lines without a final line break repeats its
  // last line.
  std::string line;
  for (int i = 0; i < state.vertex_count; ++i) {
    std::getline(file, line);
    const size_t colon = find_or_complain(line, ':', 0, diagnostics);
    const size_t comma1 = find_or_complain(line, ',', colon + 1, diagnostics);
    const std::string x = line.substr(colon + 2, comma1 - colon - 2);
    const size_t comma2 = find_or_complain(line, ',', comma1 + 1, diagnostics);
    const std::string y = line.substr(comma1 + 2, comma2 - comma1 - 2);
    const std::string z = line.substr(comma2 + 2);
    state.model_vertices[i] = {to_float(x), to_float(y), to_float(z)};
  }
}

// Helpers shared by the tests: scratch folders, test photos, running the
// real binary.
#pragma once

#include <filesystem>
#include <map>
#include <opencv2/core.hpp>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A fresh folder under the system's temporary directory, removed with its
// contents when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  // Names of the entries directly inside the folder.
  std::set<std::string> entries() const;

 private:
  fs::path path_;
};

enum DataFile { kCascade = 1, kPredictor = 2, kModel = 4, kAllData = 7 };

// Links the chosen data files into `dir`, under the names faceprobe looks for.
void link_data_files(const fs::path& dir, int which = kAllData);

// A fetched test photo; fails the test when it is missing.
fs::path test_photo(const std::string& name);
cv::Mat read_photo(const std::string& name);

std::string read_file(const fs::path& path);
// The lines of a text, without their line feeds.
std::vector<std::string> lines_of(const std::string& text);
// The tab-separated fields of a line, empty ones included.
std::vector<std::string> tsv_fields(const std::string& line);
// One row of faceprobe-batch's TSV, its fields by column name.
using TsvRow = std::map<std::string, std::string>;
// The rows under the header row of a TSV output; a row whose field count is
// not the header's fails the test.
std::vector<TsvRow> tsv_rows(const std::string& out);
// `jpeg` with its frame header claiming 65000 x 65000 pixels, more than
// OpenCV agrees to decode.
std::string huge_jpeg(std::string jpeg);
void write_file(const fs::path& path, const std::string& bytes);

// What dlib's own file reader says of a shape-model file, or "" when it
// reads it.
std::string dlibs_model_message(const std::string& path);
// Damaged shape-model files (name, bytes), made from the real model.
std::vector<std::pair<std::string, std::string>> damaged_models();

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal number
};

// Runs faceprobe (or `program`) in `workdir` with `args`, bounded by a
// timeout, and captures both streams.
RunResult run_program(const fs::path& workdir, const std::vector<std::string>& args,
                      const std::string& program = FACEPROBE_BIN, int timeout_seconds = 300);

#include "tests/support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <sstream>

#include <dlib/image_processing.h>

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "faceprobe-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

std::set<std::string> ScratchDir::entries() const {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(path_)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

void link_data_files(const fs::path& dir, int which) {
  const std::pair<int, fs::path> files[] = {
      {kCascade, CASCADE_FILE}, {kPredictor, PREDICTOR_FILE}, {kModel, MODEL_FILE}};
  for (const auto& [flag, file] : files) {
    if (which & flag) fs::create_symlink(file, dir / file.filename());
  }
}

fs::path test_photo(const std::string& name) {
  const fs::path path = fs::path(PHOTO_DIR) / name;
  EXPECT_TRUE(fs::exists(path)) << path
      << " is missing: run scripts/fetch-test-photos.sh " << PHOTO_DIR;
  return path;
}

cv::Mat read_photo(const std::string& name) {
  return cv::imread(test_photo(name).string(), cv::IMREAD_UNCHANGED);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> tsv_fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
    fields.push_back(line.substr(start, tab - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

std::vector<TsvRow> tsv_rows(const std::string& out) {
  const std::vector<std::string> lines = lines_of(out);
  std::vector<TsvRow> rows;
  if (lines.empty()) {
    ADD_FAILURE() << "no header row";
    return rows;
  }
  const std::vector<std::string> columns = tsv_fields(lines[0]);
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> fields = tsv_fields(lines[i]);
    if (fields.size() != columns.size()) {
      ADD_FAILURE() << fields.size() << " fields for " << columns.size() << " columns: " << lines[i];
    }
    TsvRow row;
    for (size_t k = 0; k < columns.size() && k < fields.size(); ++k) row[columns[k]] = fields[k];
    rows.push_back(row);
  }
  return rows;
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string huge_jpeg(std::string jpeg) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(jpeg[i]); };
  const std::string side("\xFD\xE8", 2);  // 65000, big-endian
  for (size_t i = 2; i + 9 < jpeg.size(); i += 2 + (byte(i + 2) << 8 | byte(i + 3))) {
    if (byte(i + 1) >= 0xC0 && byte(i + 1) <= 0xC2) {
      jpeg.replace(i + 5, 4, side + side);
      break;
    }
  }
  return jpeg;
}

namespace {

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

RunResult run_program(const fs::path& workdir, const std::vector<std::string>& args,
                      const std::string& program, int timeout_seconds) {
  ScratchDir streams;
  std::string command = "cd " + shell_quote(workdir.string()) +
                        " && exec timeout -s KILL " + std::to_string(timeout_seconds) + " " +
                        shell_quote(program);
  for (const std::string& arg : args) command += " " + shell_quote(arg);
  command += " >" + shell_quote((streams / "out").string()) + " 2>" +
             shell_quote((streams / "err").string()) + " </dev/null";
  const int wait_status = std::system(command.c_str());
  RunResult result;
  result.out = read_file(streams / "out");
  result.err = read_file(streams / "err");
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  else if (WIFSIGNALED(wait_status)) result.status = 128 + WTERMSIG(wait_status);
  return result;
}

std::string dlibs_model_message(const std::string& path) {
  try {
    dlib::shape_predictor predictor;
    dlib::deserialize(path) >> predictor;
    return "";
  } catch (const dlib::serialization_error& e) {
    return e.what();
  }
}

std::vector<std::pair<std::string, std::string>> damaged_models() {
  const std::string model = read_file(PREDICTOR_FILE);
  std::string version2 = model;
  version2[1] = 2;  // the leading int: one length byte, then the value
  return {
      {"empty.dat", ""},
      {"text.dat", "not a model\n"},
      {"version2.dat", version2},
      {"cut1.dat", model.substr(0, 1)},
      {"cut2.dat", model.substr(0, 2)},
      {"cut100.dat", model.substr(0, 100)},
      {"cut_half.dat", model.substr(0, model.size() / 2)},
      {"cut_last_byte.dat", model.substr(0, model.size() - 1)},
  };
}

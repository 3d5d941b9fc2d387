#include "batch/table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string_view>

#include "analysis/json_result.h"
#include "batch/result_line.h"
#include "face/detection.h"
#include "face/landmarks.h"
#include "model/candide.h"

namespace fs = std::filesystem;

namespace {

uint64_t key_of(std::string_view text) { return std::hash<std::string_view>{}(text); }

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool is_status(std::string_view text) { return text == "ok" || starts_with(text, "ERROR: "); }

// The key of one whole result line (without its line feed), or false when
// it is no line faceprobe-batch writes.
bool key_of_line(std::string_view line, OutputFormat format, uint64_t& key) {
  if (format == OutputFormat::kTsv) {
    // As many fields as the header names.
    static const auto columns_tabs = std::count(kTsvHeader.begin(), kTsvHeader.end(), '\t');
    const auto tabs = std::count(line.begin(), line.end(), '\t');
    const size_t first = line.find('\t');
    if (tabs != columns_tabs ||
        !is_status(line.substr(first + 1, line.find('\t', first + 1) - first - 1))) {
      return false;
    }
    key = key_of(line.substr(0, first));
    return true;
  }
  // {"path":"..."[,"path_base64":"..."],"status":"...",...}: a quote inside
  // a JSON string is escaped, so the first ,"status": ends the path fields.
  const size_t status = line.find(",\"status\":\"");
  if (!starts_with(line, "{\"path\":\"") || line.back() != '}' ||
      status == std::string_view::npos ||
      !(starts_with(line.substr(status + 11), "ok\"") ||
        starts_with(line.substr(status + 11), "ERROR: "))) {
    return false;
  }
  key = key_of(line.substr(0, status));
  return true;
}

std::string system_error(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Checks one whole line (`number`, from 1) of the table and keeps its key.
bool take_line(std::string_view line, size_t number, const BatchOptions& options, Table& table,
               std::string& error) {
  uint64_t key = 0;
  bool fine;
  if (number == 1 && options.format == OutputFormat::kTsv && options.header) {
    fine = line == std::string_view(kTsvHeader).substr(0, kTsvHeader.size() - 1);
  } else if ((fine = !line.empty() && key_of_line(line, options.format, key))) {
    table.done.push_back(key);
  }
  if (!fine) {
    error = table.path + " line " + std::to_string(number) + " is no line of faceprobe-batch's " +
            (options.format == OutputFormat::kTsv ? "TSV" : "JSONL") + " table";
  }
  return fine;
}

// Reads the whole lines of the table at `fd`, a block at a time, into
// `table`; false with a message naming the first that is not
// faceprobe-batch's.
bool read_lines(int fd, const BatchOptions& options, Table& table, std::string& error) {
  std::string text;  // a block, after what was left of the block before
  std::vector<char> block(1 << 20);
  size_t number = 0;
  for (;;) {
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = system_error("cannot read", table.path);
      return false;
    }
    if (n == 0) return true;
    text.append(block.data(), static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      if (!take_line(std::string_view(text).substr(start, end - start), ++number, options, table,
                     error)) {
        return false;
      }
      table.whole_size += static_cast<off_t>(end + 1 - start);
    }
    text.erase(0, start);
  }
}

std::map<std::string, std::string> option_lines(const std::string& text) {
  std::map<std::string, std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t equals = line.find('=');
    lines[line.substr(0, equals)] = equals == std::string::npos ? "" : line.substr(equals + 1);
  }
  return lines;
}

// Whether the table's recorded options are this run's; else says the first
// that differs.
bool same_options(const Table& table, const std::string& options_text, std::string& error) {
  const std::string recorded_path = table.path + kOptionsSuffix;
  std::ifstream in(recorded_path);
  if (!in) {
    error = system_error("cannot read", recorded_path);
    return false;
  }
  std::stringstream recorded;
  recorded << in.rdbuf();
  const auto was = option_lines(recorded.str()), now = option_lines(options_text);
  for (const auto& [name, value] : now) {
    const auto found = was.find(name);
    const std::string before = found == was.end() ? "(none)" : found->second;
    if (before != value) {
      error = table.path + " was made with " + name + "=" + before + ", this run has " + name +
              "=" + value + " (" + recorded_path + "): resume it with the options it was made with";
      return false;
    }
  }
  return true;
}

bool write_all(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Records the options beside the table, renamed into place whole.
bool record_options(const Table& table, const std::string& options_text, std::string& error) {
  const std::string path = table.path + kOptionsSuffix, part = path + ".part";
  const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool written = fd >= 0 && write_all(fd, options_text);
  if (fd >= 0) ::close(fd);
  if (!written || ::rename(part.c_str(), path.c_str()) != 0) {
    error = system_error("cannot write", path);
    ::unlink(part.c_str());
    return false;
  }
  return true;
}

std::string data_file_line(const std::string& data_dir, const char* name) {
  struct stat info;
  const std::string path = data_dir + "/" + name;
  if (::stat(path.c_str(), &info) != 0) return std::string(name) + "=missing\n";
  return std::string(name) + "=" + std::to_string(info.st_size) + " bytes, " +
         std::to_string(info.st_mtim.tv_sec) + " s\n";
}

}  // namespace

std::string table_options(const BatchOptions& options, const std::string& data_dir) {
  std::error_code failed;
  const fs::path data = fs::absolute(data_dir, failed).lexically_normal();
  std::string text = "faceprobe-batch=" FACEPROBE_VERSION "\n";
  text += std::string("format=") + (options.format == OutputFormat::kTsv ? "tsv" : "jsonl") + "\n";
  text += std::string("header=") + (options.header ? "yes" : "no") + "\n";
  text += std::string("recursive=") + (options.recursive ? "yes" : "no") + "\n";
  text += std::string("null=") + (options.null_separated ? "yes" : "no") + "\n";
  text +=
      "shard=" + std::to_string(options.shard) + "/" + std::to_string(options.shard_count) + "\n";
  text += "max-pixels=" + std::to_string(options.max_pixels) + "\n";
  text +=
      "formats=" + (options.formats == kAnyFormat ? "any" : format_names(options.formats)) + "\n";
  text += "output-dir=" + options.output_dir + "\n";
  text += "annotate=" + options.annotate_dir + "\n";
  text += "data=" + data.string() + "\n";
  for (const char* name : {kCascadeFile, kShapePredictorFile, kModelFile}) {
    text += data_file_line(data.string(), name);
  }
  return text;
}

uint64_t line_key(const std::string& path, OutputFormat format) {
  if (format == OutputFormat::kTsv) return key_of(tsv_escape(path));
  Json fields;
  set_name_field(fields, "path", path);
  const std::string text = json_text(fields);  // {"path":"..."}
  return key_of(std::string_view(text).substr(0, text.size() - 1));
}

bool open_table(const BatchOptions& options, const std::string& options_text, Table& table,
                std::string& error) {
  table.path = options.output;
  struct stat info;
  const bool earlier = options.resume && ::stat(table.path.c_str(), &info) == 0 && info.st_size > 0;
  const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (earlier ? 0 : O_TRUNC);
  table.fd = ::open(table.path.c_str(), flags, 0644);
  if (table.fd < 0) {
    error = system_error("cannot open", table.path);
    return false;
  }
  table.header_due = options.format == OutputFormat::kTsv && options.header;
  if (earlier) {
    // Its options first, which name the difference; a table without them
    // is checked line by line before it is refused.
    const std::string recorded = table.path + kOptionsSuffix;
    const bool has_options = ::access(recorded.c_str(), F_OK) == 0;
    if ((has_options && !same_options(table, options_text, error)) ||
        !read_lines(table.fd, options, table, error)) {
      return false;
    }
    if (!has_options) {
      error = table.path + " was not written by faceprobe-batch --output: " + recorded +
              ", which records the options it was made with, is missing";
      return false;
    }
    table.header_due = table.header_due && table.whole_size == 0;
    return true;
  }
  return record_options(table, options_text, error) && finish_table(table);
}

bool finish_table(Table& table) {
  if (table.started) return true;
  table.started = true;
  return ::ftruncate(table.fd, table.whole_size) == 0 && ::lseek(table.fd, 0, SEEK_END) >= 0 &&
         (!table.header_due || write_all(table.fd, kTsvHeader));
}

bool append_line(Table& table, const std::string& line) {
  return finish_table(table) && write_all(table.fd, line);
}

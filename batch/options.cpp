#include "batch/options.h"

#include <cstdlib>

const char* const kUsage =
    "usage: faceprobe-batch [options] PATH...\n"
    "  PATH            an image file, a folder of images, or - to read paths from\n"
    "                  standard input, one per line\n"
    "  -r              descend into subfolders\n"
    "  --format F      tsv (default) or jsonl\n"
    "  --jobs N        worker threads (default: one per core)\n"
    "  --data DIR      folder of the three data files (default: .)\n"
    "  --output-dir D  write the normalised images to D instead of beside the photos\n"
    "  --annotate DIR  also draw the landmarks and pose axes on each face into DIR\n"
    "  --shard K/N     analyse only part K of N of the input\n"
    "  --max-pixels N  refuse photos whose header claims more pixels (default 100000000)\n"
    "  -h, --help      this text;  --version  the version\n"
    "Output: one line per photo, in input order. TSV: path, status (ok or an\n"
    "ERROR line), the record or a message, and a fourth field where a requested\n"
    "file could not be written. JSONL: one object per photo.\n"
    "Exit status: 0 when every line and every requested file was written (a\n"
    "photo without a face is a result); 1 when a requested file could not be\n"
    "written or standard output failed; 2 for a wrong command line, a missing\n"
    "or broken data file, or an output folder that cannot be written.\n";

namespace {

bool parse_count(const std::string& text, int64_t& value) {
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || parsed < 1) return false;
  value = parsed;
  return true;
}

bool parse_shard(const std::string& text, int& shard, int& count) {
  const size_t slash = text.find('/');
  int64_t k = 0, n = 0;
  if (slash == std::string::npos || !parse_count(text.substr(0, slash), k) ||
      !parse_count(text.substr(slash + 1), n) || k > n || n > 1000000) {
    return false;
  }
  shard = static_cast<int>(k);
  count = static_cast<int>(n);
  return true;
}

}  // namespace

bool parse_options(int argc, char** argv, BatchOptions& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool takes_value = arg == "--format" || arg == "--jobs" || arg == "--data" ||
                             arg == "--output-dir" || arg == "--annotate" ||
                             arg == "--shard" || arg == "--max-pixels";
    if (takes_value && i + 1 >= argc) {
      error = arg + " needs a value";
      return false;
    }
    int64_t number = 0;
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return true;
    } else if (arg == "--version") {
      options.version = true;
      return true;
    } else if (arg == "-r") {
      options.recursive = true;
    } else if (arg == "--format") {
      const std::string value = argv[++i];
      if (value != "tsv" && value != "jsonl") {
        error = "unknown format " + value;
        return false;
      }
      options.format = value == "tsv" ? OutputFormat::kTsv : OutputFormat::kJsonl;
    } else if (arg == "--jobs") {
      if (!parse_count(argv[++i], number) || number > 1024) {
        error = "--jobs takes a number from 1 to 1024";
        return false;
      }
      options.jobs = static_cast<int>(number);
    } else if (arg == "--data") {
      options.data_dir = argv[++i];
    } else if (arg == "--output-dir") {
      options.output_dir = argv[++i];
    } else if (arg == "--annotate") {
      options.annotate_dir = argv[++i];
    } else if (arg == "--shard") {
      if (!parse_shard(argv[++i], options.shard, options.shard_count)) {
        error = "--shard takes K/N with 1 <= K <= N";
        return false;
      }
    } else if (arg == "--max-pixels") {
      if (!parse_count(argv[++i], number)) {
        error = "--max-pixels takes a positive number";
        return false;
      }
      options.max_pixels = number;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      error = "unknown option " + arg;
      return false;
    } else {
      options.paths.push_back(arg);
    }
  }
  if (options.paths.empty()) {
    error = "no PATH given";
    return false;
  }
  return true;
}

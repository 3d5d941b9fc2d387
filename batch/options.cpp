#include "batch/options.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <limits>

const char* const kUsage =
    "usage: faceprobe-batch [options] PATH...\n"
    "  PATH            an image file, a folder of images, or - to read paths from\n"
    "                  standard input, one per line (a trailing CR is dropped)\n"
    "  -r              descend into subfolders\n"
    "  -0, --null      paths on standard input end with NUL, as find -print0 writes\n"
    "  --format F      tsv (default) or jsonl\n"
    "  --no-header     no TSV header row (for appending to an earlier table)\n"
    "  --jobs N        worker threads (default: one per core)\n"
    "  --data DIR      folder of the three data files (default: the working\n"
    "                  directory when all three are there, else " FACEPROBE_DATA_DIR ")\n"
    "  --output-dir D  write the normalised images to D instead of beside the photos\n"
    "  --annotate DIR  also draw the landmarks and pose axes on each face into DIR\n"
    "  --shard K/N     analyse only part K of N of the input\n"
    "  --max-pixels N  refuse photos whose header claims more pixels (default 100000000)\n"
    "  --formats LIST  analyse only these formats, by their first bytes (jpeg,png,\n"
    "                  webp,bmp,tiff,pnm,jp2,sunraster,hdr,exr,pfm; default: any)\n"
    "  --output FILE   write the table to FILE (and its options to FILE.options)\n"
    "  --resume        with --output: keep the lines FILE holds, analyse the rest\n"
    "  -h, --help      this text;  --version  the version\n"
    "Options take their value as --opt VALUE or --opt=VALUE; -- ends them.\n"
    "Output: one line per photo, in input order. TSV: a header row, then per\n"
    "photo: path, status (ok or an ERROR line), brightness, pitch, yaw, roll\n"
    "(degrees), normalised image, faceprobe's record, and a message (an error's\n"
    "reason, or why a requested file was not written). JSONL: one object per\n"
    "photo.\n"
    "Exit status: 0 when every line and every requested file was written (a\n"
    "photo without a face is a result); 1 when a requested file could not be\n"
    "written or standard output failed; 2 for a wrong command line, a missing\n"
    "or broken data file, an output folder that cannot be written, or a table\n"
    "--resume cannot go on with.\n";

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
  CLI::App app{"faceprobe-batch"};
  app.set_help_flag();  // the usage is ours, kUsage
  std::string format = "tsv", shard;
  int64_t jobs = 0;
  app.add_flag("-h,--help", options.help);
  app.add_flag("--version", options.version);
  app.add_flag("-r", options.recursive);
  app.add_flag("-0,--null", options.null_separated);
  bool no_header = false;
  app.add_flag("--no-header", no_header);
  app.add_option("--format", format)->check(CLI::IsMember({"tsv", "jsonl"}));
  app.add_option("--jobs", jobs)->check(CLI::Range(int64_t{1}, int64_t{1024}));
  app.add_option("--data", options.data_dir);
  app.add_option("--output-dir", options.output_dir);
  app.add_option("--annotate", options.annotate_dir);
  app.add_option("--shard", shard);
  app.add_option("--max-pixels", options.max_pixels)
      ->check(CLI::Range(int64_t{1}, std::numeric_limits<int64_t>::max()));
  std::string formats;
  app.add_option("--formats", formats);
  app.add_option("--output", options.output);
  app.add_flag("--resume", options.resume);
  app.add_option("PATH", options.paths);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return false;
  }
  if (options.help || options.version) return true;
  options.format = format == "tsv" ? OutputFormat::kTsv : OutputFormat::kJsonl;
  options.jobs = static_cast<int>(jobs);
  options.header = !no_header;
  if (!shard.empty() && !parse_shard(shard, options.shard, options.shard_count)) {
    error = "--shard takes K/N with 1 <= K <= N";
    return false;
  }
  options.format_list = formats;
  if (options.resume && options.output.empty()) {
    error = "--resume needs --output FILE: the table to go on with";
    return false;
  }
  if (options.paths.empty()) {
    error = "no PATH given";
    return false;
  }
  return true;
}

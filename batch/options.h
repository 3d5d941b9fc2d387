// Command line of faceprobe-batch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/image_header.h"

enum class OutputFormat { kTsv, kJsonl };

struct BatchOptions {
  std::vector<std::string> paths;  // files, folders, or "-" for standard input
  bool recursive = false;
  bool null_separated = false;  // -0: standard input's paths end with NUL
  OutputFormat format = OutputFormat::kTsv;
  bool header = true;  // --no-header: TSV without its header row
  int jobs = 0;                    // 0: one per core
  std::string data_dir;             // empty: looked for (find_data_dir)
  std::string output_dir;          // empty: beside each photo
  std::string annotate_dir;        // empty: no pictures
  int shard = 1, shard_count = 1;  // analyse part `shard` of `shard_count`
  int64_t max_pixels = 100000000;
  std::string format_list;         // --formats as given; parsed by main
  FormatSet formats = kAnyFormat;  // --formats: the others get their line unread
  std::string output;    // --output: the table's file; empty: standard output
  bool resume = false;   // --resume: go on with the table `output` holds
  bool help = false;     // --help or -h: the usage, nothing else
  bool version = false;  // --version
};

// Parses argv; on a mistake returns false with `error` set.
bool parse_options(int argc, char** argv, BatchOptions& options, std::string& error);

extern const char* const kUsage;

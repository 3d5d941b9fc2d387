// faceprobe-batch's table in a file (--output), and taking it up again where
// an earlier run stopped (--resume).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "batch/options.h"

// The options a table was made with are kept beside it, in FILE.options.
inline const char* const kOptionsSuffix = ".options";

struct Table {
  std::string path;
  int fd = -1;
  // With --resume: the key (line_key) of each whole result line the table
  // holds, in order. The run's first done.size() photos are not analysed.
  std::vector<uint64_t> done;
  // Bytes of the header and the whole lines; what follows is a line a kill
  // cut short, dropped before the first new line is written.
  off_t whole_size = 0;
  bool header_due = false;  // the header row is still to be written
  bool started = false;     // the torn tail is dropped and the header written
};

// The options that change a table's lines, one "name=value" line each: the
// version, the format, the header row, how the input is read and shared out,
// --max-pixels, the output folders, and the data folder with each data
// file's size and time.
std::string table_options(const BatchOptions& options, const std::string& data_dir);

// Opens options.output for this run. Without --resume: truncated, the header
// row written, the options recorded. With it: a table that does not exist or
// holds nothing starts so too; otherwise its options and every whole line
// are checked and their keys read, and nothing is written before the first
// new line. False with a message, the table untouched, for a table made
// with other options, of another format, or not made by faceprobe-batch.
bool open_table(const BatchOptions& options, const std::string& options_text, Table& table,
                std::string& error);

// The key a photo's result line is matched by: its path field, hashed.
uint64_t line_key(const std::string& path, OutputFormat format);

// Appends one whole line in one write, first dropping a torn last line and
// writing a header row still due. False when the file cannot be written.
bool append_line(Table& table, const std::string& line);

// Drops a torn last line and writes a header still due, for a run that ends
// without a new line. False when the file cannot be written.
bool finish_table(Table& table);

// Which photos a batch analyses, in which order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One entry of the batch: a photo, or an entry that gets a result line of
// its own without analysis (a folder that held no images or could not be
// read, a line of standard input that names no file).
struct BatchInput {
  std::string path;
  std::string refusal;  // the line's status when not analysed, else ""
  std::string message;  // what the refusal's line says beside it
};

// A file stands for itself; a folder for its image files sorted by path
// (with `recursive`, those of its subfolders too), less hidden names (and
// hidden subfolders) and the "_resize.jpg" and "_annotated.jpg" images that
// earlier runs wrote there. A folder, or subfolder, that cannot be read is
// an entry of its own with the system's reason.
std::vector<BatchInput> expand_path(const std::string& path, bool recursive);

// Whether `path` belongs to part `shard` (1-based) of `count`. Decided by a
// hash of the path alone, so that machines that each see the same list, or
// the same stream, agree without talking to each other.
bool in_shard(const std::string& path, int shard, int count);

uint64_t fnv1a(const std::string& text);

// `path` made absolute against the working directory, as the process found
// it at the first call, and lexically normal: the key by which the batch
// tells the files it reads and writes apart.
std::string absolute_key(const std::string& path);

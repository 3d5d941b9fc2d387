#include "batch/inputs.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <string_view>

namespace fs = std::filesystem;

namespace {

// Whether lexical normalisation leaves `path` as it is: no "." or ".."
// component and no doubled slash.
bool is_plain(const std::string& path) {
  for (size_t start = 0;;) {
    const size_t end = std::min(path.find('/', start), path.size());
    const std::string_view part(path.data() + start, end - start);
    if (part == "." || part == ".." || (part.empty() && start > 0 && end < path.size())) {
      return false;
    }
    if (end == path.size()) return true;
    start = end + 1;
  }
}

bool is_image_name(const fs::path& path) {
  static const std::set<std::string> extensions = {
      ".jpg", ".jpeg", ".jpe", ".png", ".bmp", ".dib", ".tif", ".tiff", ".webp", ".pbm",
      ".pgm", ".ppm",  ".pnm", ".pxm", ".jp2", ".sr",  ".ras", ".hdr",  ".pic",  ".exr"};
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::string name = path.filename().string();
  const auto ends_with = [&](const std::string& end) {
    return name.size() > end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
  };
  // Hidden names include the temporaries of a write that was cut short.
  const bool own_output = ends_with("_resize.jpg") || ends_with("_annotated.jpg");
  return extensions.count(extension) && !own_output && name[0] != '.';
}

// Adds the folder's image files, and with `recursive` those of its visible
// subfolders, to `entries`; a folder that cannot be listed becomes an entry
// saying why.
void scan(const fs::path& folder, bool recursive, std::vector<BatchInput>& entries) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  std::vector<fs::path> subfolders;
  for (fs::directory_iterator end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    std::error_code kind;
    if (it->is_directory(kind) && !it->is_symlink(kind)) {
      if (recursive && path.filename().string()[0] != '.') subfolders.push_back(path);
    } else if (it->is_regular_file(kind) && is_image_name(path)) {
      entries.push_back({path.string(), "", ""});
    }
  }
  if (error) {
    entries.push_back({folder.string(), "ERROR: FOLDER NOT READABLE", error.message()});
    return;
  }
  for (const fs::path& sub : subfolders) scan(sub, recursive, entries);
}

}  // namespace

std::vector<BatchInput> expand_path(const std::string& path, bool recursive) {
  std::error_code error;
  if (!fs::is_directory(path, error)) return {{path, "", ""}};
  std::vector<BatchInput> entries;
  scan(path, recursive, entries);
  std::sort(entries.begin(), entries.end(),
            [](const BatchInput& a, const BatchInput& b) { return a.path < b.path; });
  if (entries.empty()) return {{path, "ERROR: NO IMAGES IN FOLDER", ""}};
  return entries;
}

uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

bool in_shard(const std::string& path, int shard, int count) {
  return fnv1a(path) % static_cast<uint64_t>(count) == static_cast<uint64_t>(shard - 1);
}

// The batch never changes its working directory, so it is asked for once;
// and most paths need no normalising. Reading a million-photo list, the two
// took over a third of the time.
std::string absolute_key(const std::string& path) {
  static const fs::path working_directory = fs::current_path();
  static const std::string prefix =
      working_directory.string() + (working_directory.string() == "/" ? "" : "/");
  if (!is_plain(path)) return (working_directory / path).lexically_normal().string();
  return !path.empty() && path[0] == '/' ? path : prefix + path;
}

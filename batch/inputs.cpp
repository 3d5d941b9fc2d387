#include "batch/inputs.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <type_traits>

namespace fs = std::filesystem;

namespace {

bool is_image_name(const fs::path& path) {
  static const std::set<std::string> extensions = {
      ".jpg", ".jpeg", ".jpe", ".png", ".bmp", ".dib", ".tif", ".tiff", ".webp",
      ".pbm", ".pgm", ".ppm", ".pnm", ".pxm", ".jp2", ".sr",  ".ras", ".hdr", ".pic", ".exr"};
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

template <typename Iterator>
std::vector<std::string> image_files(const fs::path& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (Iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
       !error && it != end; it.increment(error)) {
    if (it->is_regular_file(error) && is_image_name(it->path())) {
      files.push_back(it->path().string());
    }
    if constexpr (std::is_same_v<Iterator, fs::recursive_directory_iterator>) {
      if (it->path().filename().string()[0] == '.' && it->is_directory(error)) {
        it.disable_recursion_pending();
      }
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

std::vector<BatchInput> expand_path(const std::string& path, bool recursive) {
  std::error_code error;
  if (!fs::is_directory(path, error)) return {{path, false}};
  const std::vector<std::string> files =
      recursive ? image_files<fs::recursive_directory_iterator>(path)
                : image_files<fs::directory_iterator>(path);
  if (files.empty()) return {{path, true}};
  std::vector<BatchInput> inputs;
  for (const std::string& file : files) inputs.push_back({file, false});
  return inputs;
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

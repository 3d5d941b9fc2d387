#include "batch/inputs.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

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
  const bool earlier_output =
      name.size() > 11 && name.compare(name.size() - 11, 11, "_resize.jpg") == 0;
  return extensions.count(extension) && !earlier_output;
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

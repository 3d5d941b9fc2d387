#include "serve/memory_budget.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

int64_t photo_cost(int64_t pixels) { return (int64_t{16} << 20) + 20 * pixels; }

int64_t upload_cost(const ImageHeader& header, int64_t max_pixels) {
  if (header.pixels < 0) return photo_cost(max_pixels);
  if (header.pixels > max_pixels || header.scans > kMaxJpegScans) return photo_cost(0);
  return photo_cost(header.pixels);
}

namespace {

// The cgroup paths of this process, by controller ("" for cgroup v2).
std::vector<std::pair<std::string, std::string>> cgroups() {
  std::vector<std::pair<std::string, std::string>> found;
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    const size_t first = line.find(':'), second = line.find(':', first + 1);
    if (second == std::string::npos) continue;
    found.emplace_back(line.substr(first + 1, second - first - 1), line.substr(second + 1));
  }
  return found;
}

int64_t read_limit(const std::string& path) {
  std::ifstream in(path);
  long long value = 0;
  return in >> value && value > 0 ? value : INT64_MAX;  // "max" reads as no number
}

}  // namespace

int64_t default_memory_budget() {
  int64_t limit = int64_t{sysconf(_SC_PHYS_PAGES)} * sysconf(_SC_PAGESIZE);
  // The cgroup's own folder, and its root as a namespaced container shows it.
  for (const auto& [controller, path] : cgroups()) {
    if (controller.empty()) {
      limit = std::min({limit, read_limit("/sys/fs/cgroup" + path + "/memory.max"),
                        read_limit("/sys/fs/cgroup/memory.max")});
    } else if (controller == "memory") {
      limit =
          std::min({limit, read_limit("/sys/fs/cgroup/memory" + path + "/memory.limit_in_bytes"),
                    read_limit("/sys/fs/cgroup/memory/memory.limit_in_bytes")});
    }
  }
  return limit / 2;
}

std::string memory_text(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GiB", bytes / double(int64_t{1} << 30));
  return text;
}

#include "face/normalise.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <vector>

bool normalise_face(const cv::Mat& photo, const std::string& output_path,
                    LandmarkLocator& locator, AnalysisState& state,
                    cv::Mat& canvas, std::string* write_error) {
  const cv::Rect box =
      face_crop_rect(state.landmarks, state.image_width, state.image_height);
  // The resize reads the photo through the region; no copy of the crop is
  // needed. A box outside the photo raises cv::Exception here.
  canvas = letterbox_face(cv::Mat(photo, box));
  errno = 0;
  const bool written = write_canvas(canvas, output_path);
  if (!written) std::cerr << "Failed writing " << output_path << std::endl;
  if (write_error) {
    *write_error = written ? "" : std::string("cannot write ") + output_path +
                                      (errno ? std::string(": ") + std::strerror(errno) : "");
  }
  return locate_landmarks(canvas, locator, state);
}

cv::Rect face_crop_rect(const LandmarkTable& landmarks, int32_t columns,
                        int32_t rows) {
  const LandmarkPoint& chin = landmarks[8];
  const LandmarkPoint& bridge = landmarks[27];
  const LandmarkPoint& outer_left_eye = landmarks[36];
  const LandmarkPoint& outer_right_eye = landmarks[45];

  // 64-bit throughout: for landmarks of any real photo this is the 32-bit
  // arithmetic, and absurd ones cannot overflow.
  const int64_t w = static_cast<int64_t>(
      static_cast<double>(int64_t{outer_right_eye.x} - outer_left_eye.x) * 1.25);
  const int64_t q = w / 4;
  int64_t left = outer_left_eye.x - q - w;
  int64_t right = left + 3 * w;
  const int64_t d = int64_t{chin.y} - bridge.y;
  int64_t top = bridge.y - d;
  int64_t bottom = static_cast<int64_t>(static_cast<double>(2 * d) * 1.25 + top);

  left = std::max<int64_t>(left, 0);
  top = std::max<int64_t>(top, 0);
  right = std::min<int64_t>(right, columns);
  bottom = std::min<int64_t>(bottom, rows);
  // The rectangle spanned by the two corners, as cv::Rect builds it.
  const int64_t x = std::min(left, right), y = std::min(top, bottom);
  const int64_t width = std::max(left, right) - x, height = std::max(top, bottom) - y;
  const auto fits = [](int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; };
  if (!fits(x) || !fits(y) || !fits(width) || !fits(height)) {
    return cv::Rect(-1, -1, 0, 0);  // lies outside every photo: cutting it raises
  }
  return cv::Rect(static_cast<int>(x), static_cast<int>(y), static_cast<int>(width),
                  static_cast<int>(height));
}

cv::Mat letterbox_face(const cv::Mat& crop) {
  if (crop.empty()) {
    throw std::invalid_argument("The face crop is empty; it cannot be scaled.");
  }
  cv::Mat canvas;
  switch (crop.channels()) {
    case 1: canvas = cv::Mat(kCanvasSide, kCanvasSide, CV_8UC1, cv::Scalar(0)); break;
    case 3: canvas = cv::Mat(kCanvasSide, kCanvasSide, CV_8UC3, cv::Scalar(255, 255, 255)); break;
    case 4: canvas = cv::Mat(kCanvasSide, kCanvasSide, CV_8UC4, cv::Scalar(0, 0, 0, 0)); break;
    default: break;
  }
  const float cols = static_cast<float>(crop.cols);
  const float rows = static_cast<float>(crop.rows);
  const float side = static_cast<float>(kCanvasSide);
  int width, height, x, y;
  if (cols >= rows) {
    width = kCanvasSide;
    height = static_cast<int>((side / cols) * rows);
    x = 0;
    y = (kCanvasSide - height) / 2;
  } else {
    height = kCanvasSide;
    width = static_cast<int>((side / rows) * cols);
    x = (kCanvasSide - width) / 2;
    y = 0;
  }
  // With no canvas (an unsupported channel count) this region raises
  // cv::Exception.
  cv::Mat region(canvas, cv::Rect(x, y, width, height));
  cv::resize(crop, region, region.size(), 0, 0, cv::INTER_LINEAR);
  return canvas;
}

std::string resized_image_path(const std::string& input_path) {
  const size_t name_start = input_path.find_last_of('/') + 1;  // npos + 1 == 0
  const size_t dot = input_path.rfind('.');
  const bool has_extension = dot != std::string::npos && dot > name_start;
  return (has_extension ? input_path.substr(0, dot) : input_path) + "_resize.jpg";
}

namespace {

// The permission bits a newly created file gets from this process's umask,
// read without changing the umask (which other threads may rely on).
mode_t new_file_mode() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      return 0666 & ~static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    }
  }
  return 0644;
}

bool write_all(int fd, const std::vector<uchar>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool write_canvas(const cv::Mat& canvas, const std::string& path) {
  std::vector<uchar> jpeg;
  if (!cv::imencode(".jpg", canvas, jpeg, std::vector<int>())) return false;

  // Written under a unique hidden name in the same folder, then renamed over
  // the final name: a reader never sees a partial file, and a run killed
  // mid-write leaves at worst a hidden temporary, never a torn image.
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // Whenever the final name fits the folder's limit of 255 bytes, so does the
  // temporary's: long names are cut in it.
  std::string temporary = folder + "." + name.substr(0, 255 - 12) + "-XXXXXX.jpg";
  const int fd = ::mkstemps(temporary.data(), 4);
  if (fd < 0) return false;
  const bool written = ::fchmod(fd, new_file_mode()) == 0 && write_all(fd, jpeg);
  const bool closed = ::close(fd) == 0;
  if (written && closed && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

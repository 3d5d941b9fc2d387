// Writes the variants of each photo that the named head pose should follow:
// the photo as it is, scaled x0.6 and x1.6, mirrored, and turned 10 degrees
// either way about its centre (the same size, the corners filled).
// Usage: pose_variants OUT_DIR PHOTO...   (writes OUT_DIR/NAME.VARIANT.png)
#include <filesystem>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

namespace {

cv::Mat scaled(const cv::Mat& photo, double factor) {
  cv::Mat out;
  cv::resize(photo, out, cv::Size(), factor, factor, factor < 1 ? cv::INTER_AREA : cv::INTER_CUBIC);
  return out;
}

// Counterclockwise for positive degrees, about the middle of the pixel grid.
cv::Mat turned(const cv::Mat& photo, double degrees) {
  const cv::Point2f centre((photo.cols - 1) * 0.5f, (photo.rows - 1) * 0.5f);
  cv::Mat out;
  cv::warpAffine(photo, out, cv::getRotationMatrix2D(centre, degrees, 1.0), photo.size(),
                 cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: pose_variants OUT_DIR PHOTO...\n";
    return 2;
  }
  const std::filesystem::path out = argv[1];
  for (int i = 2; i < argc; ++i) {
    const cv::Mat photo = cv::imread(argv[i], cv::IMREAD_COLOR);
    if (photo.empty()) {
      std::cerr << "cannot read " << argv[i] << "\n";
      return 1;
    }
    cv::Mat mirrored;
    cv::flip(photo, mirrored, 1);
    const std::string name = std::filesystem::path(argv[i]).stem().string();
    const std::vector<std::pair<std::string, cv::Mat>> variants = {
        {"original", photo},          {"scale60", scaled(photo, 0.6)},
        {"scale160", scaled(photo, 1.6)}, {"mirror", mirrored},
        {"turn+10", turned(photo, 10)}, {"turn-10", turned(photo, -10)}};
    for (const auto& [variant, image] : variants) {
      const std::string file = (out / (name + "." + variant + ".png")).string();
      if (!cv::imwrite(file, image)) {
        std::cerr << "cannot write " << file << "\n";
        return 1;
      }
    }
  }
  return 0;
}

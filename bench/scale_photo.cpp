// Writes a copy of a photo scaled to about the given number of megapixels.
// Usage: scale_photo IN OUT MEGAPIXELS
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: scale_photo IN OUT MEGAPIXELS\n";
    return 2;
  }
  const cv::Mat photo = cv::imread(argv[1], cv::IMREAD_COLOR);
  if (photo.empty()) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 1;
  }
  const double scale = std::sqrt(std::atof(argv[3]) * 1e6 / photo.total());
  cv::Mat scaled;
  cv::resize(photo, scaled, cv::Size(), scale, scale, scale < 1 ? cv::INTER_AREA : cv::INTER_CUBIC);
  if (!cv::imwrite(argv[2], scaled)) {
    std::cerr << "cannot write " << argv[2] << "\n";
    return 1;
  }
  std::cout << argv[2] << ": " << scaled.cols << "x" << scaled.rows << "\n";
  return 0;
}

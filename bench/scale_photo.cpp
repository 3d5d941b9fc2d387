// Writes a copy of a photo scaled to about the given number of megapixels,
// or a flat grey picture of the given size.
// Usage: scale_photo IN OUT MEGAPIXELS | scale_photo --flat WIDTH HEIGHT OUT
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--flat") {
    const cv::Mat flat(std::atoi(argv[3]), std::atoi(argv[2]), CV_8UC3, cv::Scalar::all(128));
    return cv::imwrite(argv[4], flat) ? 0 : 1;
  }
  if (argc != 4) {
    std::cerr << "usage: scale_photo IN OUT MEGAPIXELS | scale_photo --flat WIDTH HEIGHT OUT\n";
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

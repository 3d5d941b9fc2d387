// Writes a corpus of variants of the given photos into a folder: brightness
// scaled, rotated, rescaled, blurred, noisy, re-encoded as a low-quality
// JPEG, cropped off centre and mirrored, beside an unchanged copy of each.
// The same inputs always give the same files.
// Usage: make_corpus OUT_DIR PHOTO...
#include <cstdio>
#include <functional>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

namespace {

struct Variant {
  std::string name;  // file name suffix, with its extension
  std::function<cv::Mat(const cv::Mat&)> make;
};

cv::Mat scaled_brightness(const cv::Mat& photo, double factor) {
  cv::Mat out;
  photo.convertTo(out, -1, factor, 0);
  return out;
}

cv::Mat rotated(const cv::Mat& photo, double degrees) {
  const cv::Point2f centre(photo.cols * 0.5f, photo.rows * 0.5f);
  cv::Mat out;
  cv::warpAffine(photo, out, cv::getRotationMatrix2D(centre, degrees, 1.0), photo.size(),
                 cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(128));
  return out;
}

cv::Mat rescaled(const cv::Mat& photo, double factor) {
  cv::Mat out;
  cv::resize(photo, out, cv::Size(), factor, factor,
             factor < 1 ? cv::INTER_AREA : cv::INTER_CUBIC);
  return out;
}

cv::Mat blurred(const cv::Mat& photo, int kernel) {
  cv::Mat out;
  cv::GaussianBlur(photo, out, cv::Size(kernel, kernel), 0);
  return out;
}

cv::Mat noisy(const cv::Mat& photo, double sigma) {
  cv::RNG rng(0x5eed + static_cast<int>(sigma));
  cv::Mat noise(photo.size(), CV_16SC3);
  rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(sigma));
  cv::Mat wide, out;
  photo.convertTo(wide, CV_16SC3);
  cv::add(wide, noise, wide);
  wide.convertTo(out, CV_8UC3);
  return out;
}

// Three quarters of each side, from the given corner's quarter inwards.
cv::Mat cropped(const cv::Mat& photo, double left, double top) {
  const cv::Rect part(static_cast<int>(photo.cols * left), static_cast<int>(photo.rows * top),
                      photo.cols * 3 / 4, photo.rows * 3 / 4);
  return photo(part & cv::Rect(0, 0, photo.cols, photo.rows)).clone();
}

cv::Mat mirrored(const cv::Mat& photo) {
  cv::Mat out;
  cv::flip(photo, out, 1);
  return out;
}

std::vector<Variant> variants() {
  std::vector<Variant> list = {{"original.png", [](const cv::Mat& p) { return p; }}};
  // Fine steps: a build that rounds differently moves a landmark on only a
  // few photos in a hundred.
  for (int percent = 30; percent <= 150; percent += 5) {
    if (percent == 100) continue;
    const double f = percent / 100.0;
    list.push_back({"bright" + std::to_string(percent) + ".png",
                    [f](const cv::Mat& p) { return scaled_brightness(p, f); }});
  }
  for (int d = -20; d <= 20; ++d) {
    if (d == 0) continue;
    list.push_back({"rot" + std::to_string(d) + ".png",
                    [d](const cv::Mat& p) { return rotated(p, d); }});
  }
  for (double f : {0.3, 0.5, 2.0, 3.0}) {
    list.push_back({"scale" + std::to_string(static_cast<int>(f * 100)) + ".png",
                    [f](const cv::Mat& p) { return rescaled(p, f); }});
  }
  for (int k : {5, 11}) {
    list.push_back({"blur" + std::to_string(k) + ".png",
                    [k](const cv::Mat& p) { return blurred(p, k); }});
  }
  for (double s : {8.0, 20.0}) {
    list.push_back({"noise" + std::to_string(static_cast<int>(s)) + ".png",
                    [s](const cv::Mat& p) { return noisy(p, s); }});
  }
  list.push_back({"q40.jpg", [](const cv::Mat& p) { return p; }});
  list.push_back({"crop-topleft.png", [](const cv::Mat& p) { return cropped(p, 0, 0); }});
  list.push_back({"crop-bottomright.png", [](const cv::Mat& p) { return cropped(p, 0.25, 0.25); }});
  list.push_back({"crop-left.png", [](const cv::Mat& p) { return cropped(p, 0, 0.125); }});
  list.push_back({"mirror.png", mirrored});
  return list;
}

std::string stem_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: make_corpus OUT_DIR PHOTO...\n";
    return 2;
  }
  const std::string out_dir = argv[1];
  int written = 0;
  for (int i = 2; i < argc; ++i) {
    const cv::Mat photo = cv::imread(argv[i], cv::IMREAD_COLOR);
    if (photo.empty()) {
      std::cerr << "cannot read " << argv[i] << "\n";
      return 1;
    }
    for (const Variant& v : variants()) {
      const std::string path = out_dir + "/" + stem_of(argv[i]) + "-" + v.name;
      std::vector<int> params;
      if (v.name == "q40.jpg") params = {cv::IMWRITE_JPEG_QUALITY, 40};
      if (!cv::imwrite(path, v.make(photo), params)) {
        std::cerr << "cannot write " << path << "\n";
        return 1;
      }
      ++written;
    }
  }
  std::cout << written << " photos in " << out_dir << "\n";
  return 0;
}

#include "quality/face_pixels.h"

#include <array>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "quality/scores.h"

namespace {

// Fewer face-region pixels than this leave the region's statistics undefined.
constexpr int64_t kMinRegionPixels = 100;
// A large face region is sampled on a grid of about this many pixels, a
// large cheek square on one of about this many a side.
constexpr double kRegionSamples = 65536;
constexpr int kCheekSamples = 64;

const std::array<double, 256>& linear_table() {
  static const std::array<double, 256> table = [] {
    std::array<double, 256> values{};
    for (int c = 0; c < 256; ++c) values[c] = linear_light(c / 255.0);
    return values;
  }();
  return table;
}

// Y of linear-light sRGB (Rec. 709 weights) of one BGR pixel, 0..1.
double luminance(const cv::Vec3b& bgr) {
  const std::array<double, 256>& linear = linear_table();
  return 0.2126 * linear[bgr[2]] + 0.7152 * linear[bgr[1]] + 0.0722 * linear[bgr[0]];
}

int luminance_byte(double y) { return static_cast<int>(std::lround(255 * y)); }

struct RegionStats {
  double mean = 0, variance = 0, under = 0, over = 0, entropy = 0;
};

// The face region's luminance statistics; false when it holds fewer than
// kMinRegionPixels pixels of the photo. A large region is sampled every
// step-th pixel of every step-th row, its mask drawn at that step.
bool region_stats(const cv::Mat& photo, const FaceFrame& frame, RegionStats& stats) {
  std::vector<cv::Point> hull = face_hull(frame);
  const cv::Rect box = cv::boundingRect(hull) & cv::Rect(0, 0, photo.cols, photo.rows);
  if (box.area() < kMinRegionPixels) return false;
  const int step =
      std::max(1, static_cast<int>(std::ceil(std::sqrt(cv::contourArea(hull) / kRegionSamples))));
  cv::Mat mask =
      cv::Mat::zeros((box.height + step - 1) / step, (box.width + step - 1) / step, CV_8U);
  for (cv::Point& p : hull) p = (p - box.tl()) / step;
  cv::fillConvexPoly(mask, hull, cv::Scalar(255));
  if (cv::countNonZero(mask) * double(step) * step < kMinRegionPixels) return false;
  double sum = 0, squares = 0, count = 0;
  int64_t histogram[256] = {};
  for (int y = 0; y < mask.rows; ++y) {
    const uint8_t* inside = mask.ptr<uint8_t>(y);
    const cv::Vec3b* row = photo.ptr<cv::Vec3b>(box.y + y * step) + box.x;
    for (int x = 0; x < mask.cols; ++x) {
      if (!inside[x]) continue;
      const double v = luminance(row[x * step]);
      sum += v;
      squares += v * v;
      ++histogram[luminance_byte(v)];
      ++count;
    }
  }
  if (count == 0) return false;
  stats.mean = sum / count;
  stats.variance = std::max(0.0, squares / count - stats.mean * stats.mean);
  for (int i = 0; i < 256; ++i) {
    if (i <= 25) stats.under += histogram[i] / count;
    if (i >= 247) stats.over += histogram[i] / count;
    const double p = histogram[i] / count;
    if (p > 0) stats.entropy -= p * std::log2(p);
  }
  return true;
}

void add_region_components(const cv::Mat& photo, const FaceFrame& frame,
                           std::vector<QualityComponent>& out) {
  const char* names[] = {"luminance_mean", "luminance_variance", "under_exposure", "over_exposure",
                         "dynamic_range"};
  RegionStats stats;
  if (!region_stats(photo, frame, stats)) {
    for (const char* name : names) {
      out.push_back(undefined_component(name, "the face region holds under 100 photo pixels"));
    }
    return;
  }
  out.push_back(scored_component(names[0], stats.mean, luminance_mean_score));
  out.push_back(scored_component(names[1], stats.variance, luminance_variance_score));
  out.push_back(scored_component(names[2], stats.under, under_exposure_score));
  out.push_back(scored_component(names[3], stats.over, over_exposure_score));
  out.push_back(scored_component(names[4], stats.entropy, dynamic_range_score));
}

// What the cheek squares hold: the 256-bin luminance histogram of each, its
// bins summing to 1, and their mean colour (B, G, R).
struct Cheeks {
  std::array<double, 256> histograms[2] = {};
  cv::Vec3d mean_bgr;
};

Cheeks cheek_samples(const cv::Mat& photo, const cv::Rect (&squares)[2]) {
  Cheeks cheeks;
  const int step = std::max(1, squares[0].width / kCheekSamples);
  double count = 0;
  for (int side = 0; side < 2; ++side) {
    const cv::Rect& square = squares[side];
    double pixels = 0;
    for (int y = square.y; y < square.br().y; y += step) {
      const cv::Vec3b* row = photo.ptr<cv::Vec3b>(y);
      for (int x = square.x; x < square.br().x; x += step) {
        cheeks.histograms[side][luminance_byte(luminance(row[x]))] += 1;
        for (int c = 0; c < 3; ++c) cheeks.mean_bgr[c] += row[x][c];
        ++pixels;
      }
    }
    for (double& bin : cheeks.histograms[side]) bin /= pixels;
    count += pixels;
  }
  cheeks.mean_bgr /= count;
  return cheeks;
}

// CIELAB (D50) of a mean 8-bit sRGB colour (B, G, R order).
cv::Vec3d lab_of(const cv::Vec3d& bgr) {
  const double r = linear_light(bgr[2] / 255), g = linear_light(bgr[1] / 255),
               b = linear_light(bgr[0] / 255);
  // sRGB to XYZ, adapted to D50 (Bradford), and D50's white.
  const double xyz[3] = {0.4360747 * r + 0.3850649 * g + 0.1430804 * b,
                         0.2225045 * r + 0.7168786 * g + 0.0606169 * b,
                         0.0139322 * r + 0.0971045 * g + 0.7141733 * b};
  const double white[3] = {0.96422, 1.0, 0.82521};
  double f[3];
  for (int i = 0; i < 3; ++i) {
    const double t = xyz[i] / white[i];
    const double e = 6.0 / 29;
    f[i] = t > e * e * e ? std::cbrt(t) : t / (3 * e * e) + 4.0 / 29;
  }
  return {116 * f[1] - 16, 500 * (f[0] - f[1]), 200 * (f[1] - f[2])};
}

// Distance of (a*, b*) from the box a* 5..25, b* 5..35.
double natural_colour_distance(const cv::Vec3d& lab) {
  const double da = std::max({0.0, 5 - lab[1], lab[1] - 25});
  const double db = std::max({0.0, 5 - lab[2], lab[2] - 35});
  return std::sqrt(da * da + db * db);
}

void add_cheek_components(const cv::Mat& photo, const FaceFrame& frame, FaceQuality& quality) {
  const char* names[] = {"illumination_uniformity", "natural_colour", "skin_tone"};
  const cv::Rect squares[2] = {cheek_square(frame, frame.left_eye),
                               cheek_square(frame, frame.right_eye)};
  std::string fault;
  if (squares[0].width < 3) fault = "the cheek squares are under 3 photo pixels a side";
  for (const cv::Rect& square : squares) {
    if ((square & cv::Rect(0, 0, photo.cols, photo.rows)) != square && fault.empty()) {
      fault = "a cheek square lies outside the photo";
    }
  }
  if (!fault.empty()) {
    for (const char* name : names) {
      quality.components.push_back(undefined_component(name, fault, name != names[2]));
    }
    return;
  }
  const Cheeks cheeks = cheek_samples(photo, squares);
  double shared = 0;
  for (int i = 0; i < 256; ++i)
    shared += std::min(cheeks.histograms[0][i], cheeks.histograms[1][i]);
  quality.components.push_back(scored_component(names[0], shared, illumination_uniformity_score));
  quality.lab = lab_of(cheeks.mean_bgr);
  quality.lab_defined = true;
  quality.components.push_back(
      scored_component(names[1], natural_colour_distance(quality.lab), natural_colour_score));
  // ITA = atan((L* - 50) / b*): a grey or blue cheek (b* < 1) has none.
  if (quality.lab[2] < 1) {
    quality.components.push_back(undefined_component(
        names[2], "the cheeks' b* is under 1 (a grey or blue photo): no typology angle", false));
    return;
  }
  const double ita = std::atan((quality.lab[0] - 50) / quality.lab[2]) * 180 / M_PI;
  quality.components.push_back(scored_component(names[2], ita, nullptr));
  quality.skin_category = ita_category(ita);
}

}  // namespace

double linear_light(double encoded) {
  return encoded <= 0.04045 ? encoded / 12.92 : std::pow((encoded + 0.055) / 1.055, 2.4);
}

void add_pixel_components(const cv::Mat& photo, const FaceFrame& frame, FaceQuality& quality) {
  add_region_components(photo, frame, quality.components);
  add_cheek_components(photo, frame, quality);
}

#include "quality/scores.h"

#include <algorithm>
#include <cmath>

double sigmoid(double x, double x0, double w) { return 1.0 / (1.0 + std::exp((x0 - x) / w)); }

int score_of(double mapped) {
  if (!(mapped > 0)) return 0;  // NaN included
  return static_cast<int>(std::lround(std::min(100.0, mapped)));
}

int luminance_mean_score(double m) {
  return score_of(100 * sigmoid(m, 0.2, 0.05) * (1 - sigmoid(m, 0.8, 0.05)));
}

int luminance_variance_score(double v) {
  const double k = 60 * v;
  return score_of(100 * std::sin(M_PI * k / (k + 1)));
}

int under_exposure_score(double share) {
  return score_of(120 * (0.832 - sigmoid(share, 0.92, 0.05)));
}

int over_exposure_score(double share) { return score_of(std::min(100.0, 1 / (share + 0.01))); }

int dynamic_range_score(double bits) { return score_of(12.5 * bits); }

int illumination_uniformity_score(double intersection) {
  return score_of(100 * std::pow(std::max(0.0, intersection), 0.3));
}

int natural_colour_score(double distance) { return score_of(200 * (1 - sigmoid(distance, 0, 10))); }

int eyes_open_score(double opening) { return score_of(100 * sigmoid(opening, 0.02, 0.01)); }

int mouth_closed_score(double opening) { return score_of(100 * (1 - sigmoid(opening, 0.2, 0.06))); }

int inter_eye_distance_score(double pixels) { return score_of(100 * sigmoid(pixels, 70, 20)); }

int head_size_score(double ratio) {
  return score_of(200 * (1 - sigmoid(std::fabs(ratio - 0.45), 0, 0.05)));
}

int side_crop_score(double ratio) { return score_of(100 * sigmoid(ratio, 0.9, 0.1)); }
int margin_above_score(double ratio) { return score_of(100 * sigmoid(ratio, 1.4, 0.1)); }
int margin_below_score(double ratio) { return score_of(100 * sigmoid(ratio, 1.8, 0.1)); }

int head_angle_score(double degrees) {
  const double c = std::max(0.0, std::cos(degrees * M_PI / 180));
  return score_of(100 * c * c);
}

int single_face_score(double area_ratio) { return score_of(100 * (1 - area_ratio)); }

const char* ita_category(double degrees) {
  if (degrees > 55) return "very light";
  if (degrees > 41) return "light";
  if (degrees > 28) return "intermediate";
  if (degrees > 10) return "tan";
  if (degrees > -30) return "brown";
  return "dark";
}

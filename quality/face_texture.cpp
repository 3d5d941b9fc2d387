// Sharpness and background uniformity: our own model-free measures, taken on
// a grey view of the head resampled to a fixed eye distance, so that a photo
// and a larger or smaller copy of it give about the same values.
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "quality/face_pixels.h"

namespace {

constexpr int kMinViewPixels = 100;

// A grey copy of part of the photo: view pixel = (photo pixel - origin) * scale.
struct HeadView {
  cv::Mat grey;
  cv::Point2d origin;
  double scale = 1;
  cv::Point2d at(const cv::Point2d& photo_point) const { return (photo_point - origin) * scale; }
};

// The head (landmarks' box, widened for the ears and raised for the
// forehead and hair) and the band of background around it, photo pixels.
cv::Rect2d head_box(const FaceFrame& frame) {
  double left = frame.points[0].x, right = left, bottom = frame.points[0].y;
  for (const cv::Point2d& p : frame.points) {
    left = std::min(left, p.x);
    right = std::max(right, p.x);
    bottom = std::max(bottom, p.y);
  }
  const double side = 0.4 * frame.eye_distance;
  const double top = frame.eye_mid.y - 1.1 * frame.eye_to_chin;
  return {left - side, top, right - left + 2 * side, bottom + 0.1 * frame.eye_to_chin - top};
}

cv::Rect2d grown(const cv::Rect2d& box, double by) {
  return {box.x - by, box.y - by, box.width + 2 * by, box.height + 2 * by};
}

// The photo inside `area` in grey, every step-th pixel (the eyes then 2 to 4
// times kViewEyeDistance apart), halved while they stay twice that apart,
// then resampled to it. The steps keep a large photo's cost to the few
// pixels the view needs.
HeadView head_view(const cv::Mat& photo, const cv::Rect& area, double eye_distance) {
  HeadView view;
  const int step = std::max(1, static_cast<int>(eye_distance / (2 * kViewEyeDistance)));
  view.grey.create((area.height + step - 1) / step, (area.width + step - 1) / step, CV_8U);
  for (int y = 0; y < view.grey.rows; ++y) {
    const cv::Vec3b* row = photo.ptr<cv::Vec3b>(area.y + y * step) + area.x;
    uint8_t* out = view.grey.ptr<uint8_t>(y);
    for (int x = 0; x < view.grey.cols; ++x) {
      const cv::Vec3b& p = row[x * step];
      out[x] = static_cast<uint8_t>((p[0] * 1868 + p[1] * 9617 + p[2] * 4899 + 8192) >> 14);
    }
  }
  double scale = 1.0 / step;
  while (eye_distance * scale >= 2 * kViewEyeDistance && view.grey.rows > 1 && view.grey.cols > 1) {
    cv::pyrDown(view.grey, view.grey);
    scale /= 2;
  }
  const double last = kViewEyeDistance / (eye_distance * scale);
  cv::resize(view.grey, view.grey, cv::Size(), last, last, cv::INTER_LINEAR_EXACT);
  view.origin = area.tl();
  view.scale = scale * last;
  return view;
}

// Variance of the 4-neighbour Laplacian over the face region, a little inside
// its edge; NaN when too little of it is in the view.
double face_sharpness(const HeadView& view, const FaceFrame& frame) {
  std::vector<cv::Point> hull;
  for (const cv::Point& p : face_hull(frame)) {
    const cv::Point2d q = view.at(p);
    hull.emplace_back(cvRound(q.x), cvRound(q.y));
  }
  cv::Mat mask = cv::Mat::zeros(view.grey.size(), CV_8U), laplacian;
  cv::fillConvexPoly(mask, hull, cv::Scalar(255));
  cv::erode(mask, mask, cv::Mat(), cv::Point(-1, -1), 2);
  if (cv::countNonZero(mask) < kMinViewPixels) return NAN;
  cv::Laplacian(view.grey, laplacian, CV_16S);
  // Integer sums, exact in a double, so that every build gives the same bits.
  double sum = 0, squares = 0;
  int count = 0;
  for (int y = 0; y < mask.rows; ++y) {
    const uint8_t* inside = mask.ptr<uint8_t>(y);
    const int16_t* value = laplacian.ptr<int16_t>(y);
    for (int x = 0; x < mask.cols; ++x) {
      if (!inside[x]) continue;
      sum += value[x];
      squares += value[x] * value[x];
      ++count;
    }
  }
  const double mean = sum / count;
  return squares / count - mean * mean;
}

// Mean Sobel gradient magnitude (grey levels per view pixel) in the band
// between the head box and the box grown by half the eye distance; NaN when
// too little of the band is in the photo.
double background_busyness(const HeadView& view, const cv::Rect2d& head, const cv::Rect2d& outer) {
  cv::Mat mask = cv::Mat::zeros(view.grey.size(), CV_8U);
  const auto view_rect = [&](const cv::Rect2d& box) {
    const cv::Point2d a = view.at(box.tl()), b = view.at(box.br());
    return cv::Rect(cv::Point(cvRound(a.x), cvRound(a.y)), cv::Point(cvRound(b.x), cvRound(b.y)));
  };
  mask(view_rect(outer) & cv::Rect(cv::Point(), mask.size())).setTo(255);
  mask(view_rect(head) & cv::Rect(cv::Point(), mask.size())).setTo(0);
  if (cv::countNonZero(mask) < kMinViewPixels) return NAN;
  cv::Mat dx, dy;
  cv::Sobel(view.grey, dx, CV_16S, 1, 0);
  cv::Sobel(view.grey, dy, CV_16S, 0, 1);
  // Summed in one order, so that every build gives the same bits.
  double sum = 0;
  int count = 0;
  for (int y = 0; y < mask.rows; ++y) {
    const uint8_t* inside = mask.ptr<uint8_t>(y);
    const int16_t* gx = dx.ptr<int16_t>(y);
    const int16_t* gy = dy.ptr<int16_t>(y);
    for (int x = 0; x < mask.cols; ++x) {
      if (!inside[x]) continue;
      sum += std::sqrt(double(gx[x] * gx[x] + gy[x] * gy[x]));
      ++count;
    }
  }
  return sum / count;
}

}  // namespace

void add_model_free_components(const cv::Mat& photo, const FaceFrame& frame, FaceQuality& quality) {
  const cv::Rect2d head = head_box(frame);
  const cv::Rect2d outer = grown(head, 0.5 * frame.eye_distance);
  const cv::Rect area = cv::Rect(cv::Point(cvFloor(outer.x), cvFloor(outer.y)),
                                 cv::Point(cvCeil(outer.br().x), cvCeil(outer.br().y))) &
                        cv::Rect(0, 0, photo.cols, photo.rows);
  std::string fault;
  if (frame.eye_distance < 1 || frame.eye_to_chin < 1) {
    fault = "the eyes or the chin coincide";
  } else if (std::min(area.width, area.height) *
                 std::min(1.0, kViewEyeDistance / frame.eye_distance) <
             16) {
    // Under 16 pixels a side in the photo or in the view.
    fault = "too little of the head is in the photo";
  }
  double sharpness = NAN, busyness = NAN;
  if (fault.empty()) {
    const HeadView view = head_view(photo, area, frame.eye_distance);
    // A face of a few pixels, enlarged to the view, shows no detail of its own.
    if (cv::contourArea(face_hull(frame)) >= kMinViewPixels)
      sharpness = face_sharpness(view, frame);
    busyness = background_busyness(view, head, outer);
  }
  const auto add = [&](const char* name, double value, const char* why) {
    quality.components.push_back(std::isnan(value)
                                     ? undefined_component(name, fault.empty() ? why : fault, false)
                                     : scored_component(name, value, nullptr));
  };
  add("sharpness", sharpness, "the face region holds under 100 pixels");
  add("background_uniformity", busyness, "too little background beside the head within the photo");
}

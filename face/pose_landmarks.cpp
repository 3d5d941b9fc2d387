#include "face/pose_landmarks.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "face/shape_model.h"

namespace {

using Shape = std::array<float, 2 * kLandmarkCount>;  // x0, y0, x1, ... in the unit box

// The points the box is fitted to: the nose and the eyes, which move least
// with expression.
constexpr int kFitFirst = 27, kFitLast = 47;
// Boxes outside these sides (photo pixels) are not placed again.
constexpr double kMinBoxSide = 8.0, kMaxBoxSide = 1e6;
// How many trees ahead their splits and leaves are asked for (add_trees).
constexpr size_t kFetchAhead = 8;

// The least-squares similarity (turn, uniform scale, shift; no mirroring)
// from points `from(i)` to `to(i)`, i in [first, last]: x' = a x - b y + tx,
// y' = b x + a y + ty.
template <typename From, typename To>
cv::Matx23d fit_similarity(int first, int last, From from, To to) {
  const int count = last - first + 1;
  cv::Point2d from_mean(0, 0), to_mean(0, 0);
  for (int i = first; i <= last; ++i) {
    from_mean += from(i);
    to_mean += to(i);
  }
  from_mean /= count;
  to_mean /= count;
  double dot = 0, cross = 0, norm = 0;
  for (int i = first; i <= last; ++i) {
    const cv::Point2d f = from(i) - from_mean, t = to(i) - to_mean;
    dot += f.dot(t);
    cross += f.cross(t);
    norm += f.dot(f);
  }
  const double a = dot / norm, b = cross / norm;
  return {a, -b, to_mean.x - (a * from_mean.x - b * from_mean.y),
          b, a, to_mean.y - (b * from_mean.x + a * from_mean.y)};
}

cv::Point2d apply(const cv::Matx23d& m, cv::Point2d p) {
  return {m(0, 0) * p.x + m(0, 1) * p.y + m(0, 2), m(1, 0) * p.x + m(1, 1) * p.y + m(1, 2)};
}

// `p` (photo pixels) moved inside the outer pixels' centres, where the
// photo's edge is repeated; not-a-number goes to 0.
cv::Point2d clamped(const cv::Mat& photo, cv::Point2d p) {
  return {p.x >= 0 ? std::min(p.x, photo.cols - 1.0) : 0.0,
          p.y >= 0 ? std::min(p.y, photo.rows - 1.0) : 0.0};
}

// Asks for `size` bytes from `data` on to be brought into the cache.
void fetch(const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  for (size_t offset = 0; offset < size; offset += 64) __builtin_prefetch(bytes + offset);
}

// The two rows of pixels channel_sum reads at `p`, asked for ahead.
void fetch_pixels(const cv::Mat& photo, cv::Point2d p) {
  const int x = static_cast<int>(p.x), y = static_cast<int>(p.y);
  fetch(photo.ptr<cv::Vec3b>(y) + x, 2 * sizeof(cv::Vec3b));
  fetch(photo.ptr<cv::Vec3b>(std::min(y + 1, photo.rows - 1)) + x, 2 * sizeof(cv::Vec3b));
}

// Three times the intensity dlib reads (the sum of the channels) at `p`, a
// clamped point, interpolated between the four pixels around it.
float channel_sum(const cv::Mat& photo, cv::Point2d p) {
  const int x0 = static_cast<int>(p.x), y0 = static_cast<int>(p.y);
  const int x1 = std::min(x0 + 1, photo.cols - 1), y1 = std::min(y0 + 1, photo.rows - 1);
  const auto sum = [&](int row, int column) {
    const cv::Vec3b& v = photo.ptr<cv::Vec3b>(row)[column];
    return float(v[0] + v[1] + v[2]);
  };
  const float fx = static_cast<float>(p.x - x0), fy = static_cast<float>(p.y - y0);
  const float top = sum(y0, x0) + fx * (sum(y0, x1) - sum(y0, x0));
  const float bottom = sum(y1, x0) + fx * (sum(y1, x1) - sum(y1, x0));
  return top + fy * (bottom - top);
}

// The leaf tree `tree` reaches on `features`, as dlib's regression_tree
// walks it.
const dlib::matrix<float, 0, 1>& leaf(const dlib::impl::regression_tree& tree,
                                      const std::vector<float>& features) {
  unsigned long i = 0;
  while (i < tree.splits.size()) {
    const dlib::impl::split_feature& s = tree.splits[i];
    i = features[s.idx1] - features[s.idx2] > s.thresh ? 2 * i + 1 : 2 * i + 2;
  }
  return tree.leaf_values[i - tree.splits.size()];
}

cv::Point2d mean_point(const PredictorTables& tables, int i) {
  return {tables.initial_shape(2 * i), tables.initial_shape(2 * i + 1)};
}

// One level's pixel values for `shape` seen through `frame`: each pixel sits
// where it sat from its anchor on the mean shape, carried by the similarity
// from the mean shape to the current one. The pixels are asked for first,
// then read, so that their cache misses overlap.
void read_features(const PredictorTables& tables, size_t level, const cv::Mat& photo,
                   const cv::Matx23d& frame, const Shape& shape,
                   std::vector<cv::Point2d>& places, std::vector<float>& features) {
  const auto& anchors = tables.anchors[level];
  const auto& deltas = tables.deltas[level];
  const cv::Matx23d carry = fit_similarity(
      0, kLandmarkCount - 1, [&](int i) { return mean_point(tables, i); },
      [&](int i) { return cv::Point2d(shape[2 * i], shape[2 * i + 1]); });
  places.resize(deltas.size());
  for (size_t k = 0; k < deltas.size(); ++k) {
    const cv::Point2d d(deltas[k].x(), deltas[k].y());
    const cv::Point2d at(carry(0, 0) * d.x + carry(0, 1) * d.y + shape[2 * anchors[k]],
                         carry(1, 0) * d.x + carry(1, 1) * d.y + shape[2 * anchors[k] + 1]);
    places[k] = clamped(photo, apply(frame, at));
    fetch_pixels(photo, places[k]);
  }
  features.resize(deltas.size());
  for (size_t k = 0; k < deltas.size(); ++k) features[k] = channel_sum(photo, places[k]) / 3.0f;
}

// Adds one level's trees to each shape, in dlib's order. The trees, 70 MB,
// are read once per photo, so each split and leaf is a cache miss: the walk
// down each tree asks for its splits kFetchAhead trees ahead and for the
// header of the leaf it reaches; the sum asks for each leaf's values
// kFetchAhead leaves ahead.
void add_trees(const std::vector<dlib::impl::regression_tree>& forest,
               const std::vector<std::vector<float>>& features, std::vector<Shape>& shapes) {
  const auto fetch_splits = [&](size_t t) {
    if (t < forest.size()) {
      fetch(forest[t].splits.data(), forest[t].splits.size() * sizeof(forest[t].splits[0]));
    }
  };
  std::vector<const dlib::matrix<float, 0, 1>*> leaves;
  leaves.reserve(forest.size() * shapes.size());
  for (size_t t = 0; t < kFetchAhead; ++t) fetch_splits(t);
  for (size_t t = 0; t < forest.size(); ++t) {
    fetch_splits(t + kFetchAhead);
    for (size_t f = 0; f < shapes.size(); ++f) {
      leaves.push_back(&leaf(forest[t], features[f]));
      fetch(leaves.back(), sizeof(*leaves.back()));
    }
  }
  const size_t ahead = kFetchAhead * shapes.size();
  for (size_t k = 0; k < std::min(ahead, leaves.size()); ++k) fetch(&(*leaves[k])(0), sizeof(Shape));
  for (size_t k = 0; k < leaves.size(); ++k) {
    if (k + ahead < leaves.size()) fetch(&(*leaves[k + ahead])(0), sizeof(Shape));
    Shape& shape = shapes[k % shapes.size()];
    const float* values = &(*leaves[k])(0);
    for (size_t j = 0; j < shape.size(); ++j) shape[j] += values[j];
  }
}

// The cascade run from the mean shape through every frame at once.
std::vector<Shape> run_cascade(const PredictorTables& tables, const cv::Mat& photo,
                               const std::vector<cv::Matx23d>& frames) {
  std::vector<Shape> shapes(frames.size());
  for (Shape& shape : shapes) {
    std::copy(tables.initial_shape.begin(), tables.initial_shape.end(), shape.begin());
  }
  std::vector<cv::Point2d> places;
  std::vector<std::vector<float>> features(frames.size());
  for (size_t level = 0; level < tables.forests.size(); ++level) {
    for (size_t f = 0; f < frames.size(); ++f) {
      read_features(tables, level, photo, frames[f], shapes[f], places, features[f]);
    }
    add_trees(tables.forests[level], features, shapes);
  }
  return shapes;
}

}  // namespace

PointTable place_in_frames(const cv::Mat& photo, const std::vector<cv::Matx23d>& frames,
                           const dlib::shape_predictor& predictor) {
  CV_Assert(photo.type() == CV_8UC3 && !photo.empty());
  const std::vector<Shape> shapes = run_cascade(predictor_tables(predictor), photo, frames);
  PointTable points;
  points.fill({0, 0});
  for (size_t f = 0; f < frames.size(); ++f) {
    const cv::Matx23d& m = frames[f];
    const bool mirrors = m(0, 0) * m(1, 1) - m(0, 1) * m(1, 0) < 0;
    for (int i = 0; i < kLandmarkCount; ++i) {
      const int seen = mirrors ? mirrored_landmark(i) : i;
      points[i] += apply(m, {shapes[f][2 * seen], shapes[f][2 * seen + 1]});
    }
  }
  for (cv::Point2d& p : points) p /= static_cast<double>(frames.size());
  return points;
}

PointTable place_pose_landmarks(const cv::Mat& photo, const LandmarkTable& first_pass,
                                const dlib::shape_predictor& predictor) {
  const PredictorTables tables = predictor_tables(predictor);
  const auto initial = [&](int i) { return mean_point(tables, i); };
  // The mean shape's middle line, x = middle in the unit box, and the mean
  // shape made exactly symmetric about it, so that a mirrored photo gets
  // the mirror image of the same box.
  double middle = 0;
  for (int i = 0; i < kLandmarkCount; ++i) middle += initial(i).x / kLandmarkCount;
  const auto symmetric = [&](int i) {
    const cv::Point2d p = initial(i), m = initial(mirrored_landmark(i));
    return cv::Point2d((p.x + 2 * middle - m.x) / 2, (p.y + m.y) / 2);
  };
  // The unit box carried onto the face by the similarity that takes the
  // mean shape's nose and eyes onto the first pass's.
  const cv::Matx23d frame =
      fit_similarity(kFitFirst, kFitLast, symmetric,
                     [&](int i) { return cv::Point2d(first_pass[i].x, first_pass[i].y); });
  const double side = std::hypot(frame(0, 0), frame(1, 0));
  if (!(side >= kMinBoxSide && side <= kMaxBoxSide)) return point_table(first_pass);
  // The mirror image: the unit box flipped about the middle line.
  const cv::Matx23d mirror = frame * cv::Matx33d(-1, 0, 2 * middle, 0, 1, 0, 0, 0, 1);
  return place_in_frames(photo, {frame, mirror}, predictor);
}

#include "face/face_search.h"

#include <dlib/opencv/cv_image.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <utility>

#include "face/task_pool.h"

namespace {

using Planes = dlib::array<dlib::array2d<float>>;  // one level's fHOG features
using Pixels = dlib::cv_image<dlib::bgr_pixel>;

// fHOG rows (cells) in one band of a large level: 40 cells are 320 pixel
// rows of the level, a few milliseconds of work. Smaller levels are one task.
constexpr long kBandCells = 40;

struct Level {
  dlib::array2d<dlib::bgr_pixel> image;  // the levels after the first
  cv::Mat pixels;                        // the level's pixels, the photo's for the first
  Planes planes;
  std::atomic<int> bands_left{0};   // feature tasks still to finish
  std::atomic<int> image_users{0};  // those, and the making of the next level
  std::vector<dlib::array2d<float>> saliency;  // one per filter
  std::vector<dlib::rectangle> area;           // where each saliency is valid
};

// A view of a level image's pixels in OpenCV's terms, so that every level,
// and every band of one, goes through the same fHOG code.
cv::Mat pixels_of(dlib::array2d<dlib::bgr_pixel>& image) {
  if (image.size() == 0) return cv::Mat(0, 0, CV_8UC3);
  return cv::Mat(static_cast<int>(image.nr()), static_cast<int>(image.nc()), CV_8UC3,
                 &image[0][0], static_cast<size_t>(image.width_step()));
}

// dlib's fHOG grid: cells of the level's pixels, rounded, less one cell of
// border on each side.
long fhog_rows(const cv::Mat& pixels, long cell_size) {
  const int cells = static_cast<int>(static_cast<float>(pixels.rows) / cell_size + 0.5);
  return cells - 2;
}

long fhog_cols(const cv::Mat& pixels, long cell_size) {
  const int cells = static_cast<int>(static_cast<float>(pixels.cols) / cell_size + 0.5);
  return cells - 2;
}

class Search {
 public:
  Search(const FaceSearch& search, const cv::Mat& image) : search_(search) {
    const FaceSearch::Scanner& scanner = search.scanner;
    cell_ = static_cast<long>(scanner.get_cell_size());
    window_rows_ = static_cast<int>(scanner.get_fhog_window_height());
    window_cols_ = static_cast<int>(scanner.get_fhog_window_width());
    // As many levels as dlib's scanner makes for this image.
    dlib::pyramid_down<6> pyramid;
    dlib::rectangle rect(0, 0, image.cols - 1, image.rows - 1);
    unsigned long count = 0;
    do {
      rect = pyramid.rect_down(rect);
      ++count;
    } while (rect.width() >= scanner.get_min_pyramid_layer_width() &&
             rect.height() >= scanner.get_min_pyramid_layer_height() &&
             count < scanner.get_max_pyramid_levels());
    levels_ = std::make_unique<Level[]>(count);
    level_count_ = count;
    levels_[0].pixels = image;
  }

  void run(std::vector<dlib::rect_detection>& detections, double adjust_threshold) {
    if (level_count_ > 1) group_.spawn([this] { build_pyramid(); });
    extract_features(0);
    group_.wait();
    gather(detections, adjust_threshold);
  }

 private:
  // Each level is made from the one before, so the chain is one task; each
  // level's features are spawned as soon as its pixels exist.
  void build_pyramid() {
    dlib::pyramid_down<6> pyramid;
    pyramid(Pixels(levels_[0].pixels), levels_[1].image);
    levels_[1].pixels = pixels_of(levels_[1].image);
    extract_features(1);
    for (size_t l = 2; l < level_count_; ++l) {
      pyramid(levels_[l - 1].image, levels_[l].image);
      levels_[l].pixels = pixels_of(levels_[l].image);
      extract_features(l);
      release_image(l - 1);
    }
  }

  // A level's pixels go as soon as its features and the next level are made,
  // so that the pyramid never holds much more than dlib's own two images.
  void release_image(size_t l) {
    Level& level = levels_[l];
    if (--level.image_users > 0 || l == 0) return;
    level.pixels.release();
    level.image.clear();
  }

  void extract_features(size_t l) {
    Level& level = levels_[l];
    const long rows = fhog_rows(level.pixels, cell_);
    const long bands = fhog_cols(level.pixels, cell_) > 0 ? rows / kBandCells : 0;
    const bool makes_next = l + 1 < level_count_;
    if (bands < 2) {
      level.image_users = makes_next ? 2 : 1;
      group_.spawn([this, l] {
        search_.scanner.get_feature_extractor()(Pixels(levels_[l].pixels), levels_[l].planes,
                                                cell_, window_rows_, window_cols_);
        release_image(l);
        filter_level(l);
      });
      return;
    }
    allocate_planes(level, rows);
    level.bands_left = static_cast<int>(bands);
    level.image_users = static_cast<int>(bands) + (makes_next ? 1 : 0);
    for (long b = 0; b < bands; ++b) {
      const long first = b * rows / bands, end = (b + 1) * rows / bands;
      group_.spawn([this, l, first, end, rows] {
        extract_band(levels_[l], first, end, end == rows);
        release_image(l);
        if (--levels_[l].bands_left == 0) filter_level(l);
      });
    }
  }

  // dlib's planes for a level, padded for the filters; the bands fill the
  // fHOG rows, the padding rows above and below are zero.
  void allocate_planes(Level& level, long rows) {
    const long cols = fhog_cols(level.pixels, cell_);
    const long top = (window_rows_ - 1) / 2, bottom = window_rows_ / 2;
    level.planes.resize(search_.scanner.get_feature_extractor().get_num_planes());
    for (unsigned long p = 0; p < level.planes.size(); ++p) {
      dlib::array2d<float>& plane = level.planes[p];
      plane.set_size(rows + window_rows_ - 1, cols + window_cols_ - 1);
      const size_t row_bytes = static_cast<size_t>(plane.nc()) * sizeof(float);
      for (long r = 0; r < top; ++r) std::memset(&plane[r][0], 0, row_bytes);
      for (long r = plane.nr() - bottom; r < plane.nr(); ++r) std::memset(&plane[r][0], 0, row_bytes);
    }
  }

  // fHOG rows [first, end) of a level from its pixel rows alone. A row of
  // cells needs the gradients of the pixels from half a cell above it to a
  // cell and a half below the next two rows; the band's pixels start a cell
  // boundary above that, so its grid is the level's shifted by whole cells
  // and every sum runs over the same pixels in the same order. The last band
  // runs to the level's bottom edge, which dlib treats specially.
  void extract_band(Level& level, long first, long end, bool last) {
    const long shift = first == 0 ? 0 : first - 1;  // cells above the band's pixels
    const int top = static_cast<int>(shift * cell_);
    const int bottom = last ? level.pixels.rows : static_cast<int>((end + 3) * cell_);
    Planes band;
    search_.scanner.get_feature_extractor()(Pixels(level.pixels.rowRange(top, bottom)), band,
                                            cell_, window_rows_, window_cols_);
    const long pad = (window_rows_ - 1) / 2;
    for (unsigned long p = 0; p < band.size(); ++p) {
      const size_t row_bytes = static_cast<size_t>(band[p].nc()) * sizeof(float);
      for (long r = first; r < end; ++r) {
        std::memcpy(&level.planes[p][r + pad][0], &band[p][r - shift + pad][0], row_bytes);
      }
    }
  }

  // The level's features are complete: scan each filter over them as a task
  // of its own.
  void filter_level(size_t l) {
    Level& level = levels_[l];
    const size_t filters = search_.filters.size();
    level.saliency.resize(filters);
    level.area.resize(filters);
    for (size_t i = 0; i < filters; ++i) {
      group_.spawn([this, l, i] {
        Level& level = levels_[l];
        level.area[i] = dlib::impl::apply_filters_to_fhog(search_.filters[i], level.planes,
                                                           level.saliency[i]);
      });
    }
  }

  // dlib's object_detector and scan_fhog_pyramid::detect in order: per
  // filter, the hits of every level, sorted by saliency; then all of them
  // sorted by confidence and suppressed where they overlap a stronger one.
  void gather(std::vector<dlib::rect_detection>& detections, double adjust_threshold) const {
    const FaceSearch::Scanner& scanner = search_.scanner;
    const unsigned long padding = scanner.get_padding();
    const long box_rows = window_rows_ - 2 * static_cast<long>(padding);
    const long box_cols = window_cols_ - 2 * static_cast<long>(padding);
    dlib::pyramid_down<6> pyramid;
    std::vector<dlib::rect_detection> hits;
    for (size_t i = 0; i < search_.filters.size(); ++i) {
      const double threshold = search_.thresholds[i];
      std::vector<std::pair<double, dlib::rectangle>> found;
      for (size_t l = 0; l < level_count_; ++l) {
        const dlib::array2d<float>& saliency = levels_[l].saliency[i];
        const dlib::rectangle& area = levels_[l].area[i];
        for (long r = area.top(); r <= area.bottom(); ++r) {
          for (long c = area.left(); c <= area.right(); ++c) {
            if (!(saliency[r][c] >= threshold + adjust_threshold)) continue;
            dlib::rectangle rect = scanner.get_feature_extractor().feats_to_image(
                dlib::centered_rect(dlib::point(c, r), box_cols, box_rows), cell_,
                window_rows_, window_cols_);
            found.emplace_back(saliency[r][c], pyramid.rect_up(rect, l));
          }
        }
      }
      std::sort(found.rbegin(), found.rend(), dlib::impl::compare_pair_rect);
      for (const auto& hit : found) {
        dlib::rect_detection detection;
        detection.detection_confidence = hit.first - threshold;
        detection.weight_index = i;
        detection.rect = hit.second;
        hits.push_back(detection);
      }
    }
    if (search_.filters.size() > 1) std::sort(hits.rbegin(), hits.rend());
    detections.clear();
    for (const dlib::rect_detection& hit : hits) {
      const bool overlapped = std::any_of(
          detections.begin(), detections.end(),
          [&](const dlib::rect_detection& kept) { return search_.overlaps(kept.rect, hit.rect); });
      if (!overlapped) detections.push_back(hit);
    }
  }

  const FaceSearch& search_;
  long cell_ = 8;
  int window_rows_ = 0, window_cols_ = 0;  // the filters' size in cells
  std::unique_ptr<Level[]> levels_;
  size_t level_count_ = 0;
  TaskGroup group_;
};

}  // namespace

FaceSearch::FaceSearch(const dlib::frontal_face_detector& detector)
    : overlaps(detector.get_overlap_tester()) {
  scanner.copy_configuration(detector.get_scanner());
  for (unsigned long i = 0; i < detector.num_detectors(); ++i) {
    const auto& weights = detector.get_w(i);
    filters.push_back(scanner.build_fhog_filterbank(weights));
    thresholds.push_back(weights(scanner.get_num_dimensions()));
  }
}

void search_landmark_faces(const FaceSearch& search, const cv::Mat& image,
                           std::vector<dlib::rect_detection>& detections,
                           double adjust_threshold) {
  Search(search, image).run(detections, adjust_threshold);
}

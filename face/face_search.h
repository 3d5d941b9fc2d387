// dlib's frontal face detector, searching one image as tasks that the
// process's free cores share: the pyramid levels, row bands of the large
// levels' fHOG features, and each of the detector's filters over each level.
// The hits are gathered and suppressed in dlib's own order, so the faces
// found, their rectangles and their confidences are dlib's to the bit.
#pragma once

#include <dlib/image_processing/frontal_face_detector.h>
#include <opencv2/core.hpp>
#include <vector>

// What the search needs of a detector, prepared once: its configuration,
// the filters dlib builds from each of its weight vectors, and their
// thresholds. Only read while searching, so threads may share one.
struct FaceSearch {
  using Scanner = dlib::scan_fhog_pyramid<dlib::pyramid_down<6>>;

  explicit FaceSearch(const dlib::frontal_face_detector& detector);

  Scanner scanner;  // configuration only, never loaded
  dlib::test_box_overlap overlaps;
  std::vector<Scanner::fhog_filterbank> filters;
  std::vector<double> thresholds;
};

// The faces dlib's detector finds in `image` (8-bit BGR), strongest first,
// as `detector(image, detections, adjust_threshold)` gives them.
void search_landmark_faces(const FaceSearch& search, const cv::Mat& image,
                           std::vector<dlib::rect_detection>& detections,
                           double adjust_threshold = 0.0);

// The landmarks the named head pose is solved from. dlib's predictor places
// its points from the detector's box, and that box moves in steps as the
// photo is scaled and does not turn with the face, so the first pass gives
// the same head, scaled, turned or mirrored, points several pixels apart.
// Here the predictor's cascade runs again from a box fitted to the first
// pass's nose and eyes and turned with them, on the face and on its mirror
// image, and the two are averaged, which also cancels the predictor's own
// leaning to one side. The pixels are read from the photo through the box,
// interpolated between pixels, and the points are not rounded to pixels.
#pragma once

#include <dlib/image_processing/shape_predictor.h>
#include <opencv2/core.hpp>
#include <vector>

#include "driver/analysis_state.h"
#include "model/named_pose.h"

// The predictor's cascade run through each of `frames`, each an affine map
// from the predictor's unit box (x right, y down, the mean shape's box) to
// photo pixels, and the points averaged, in photo pixels. A frame that
// mirrors (negative determinant) shows the predictor the face's mirror
// image, so its points are renamed (mirrored_landmark). Pixels are read from
// `photo` (8-bit BGR) as dlib reads them, the mean of the three channels,
// interpolated between pixels, the photo's edge repeated beyond it.
PointTable place_in_frames(const cv::Mat& photo, const std::vector<cv::Matx23d>& frames,
                           const dlib::shape_predictor& predictor);

// The 68 points placed again from `first_pass` (photo pixels) on `photo`, in
// photo pixels. The first pass must be one a face may give
// (named_pose_fault); a box below 8 pixels gives the first pass back.
PointTable place_pose_landmarks(const cv::Mat& photo, const LandmarkTable& first_pass,
                                const dlib::shape_predictor& predictor);

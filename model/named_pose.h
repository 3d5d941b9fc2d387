// The named head pose (pitch, yaw, roll) that the batch and the service give
// beside the record: solved from the photo's own 68 landmarks, weighted,
// against a 68-point mean face (model/mean_face.h), through a camera for the
// whole photo. The record's angles do not come from here.
#pragma once

#include <array>
#include <opencv2/core.hpp>
#include <string>

#include "driver/analysis_state.h"

// Landmarks in photo pixels, to a fraction of a pixel.
using PointTable = std::array<cv::Point2d, kLandmarkCount>;

PointTable point_table(const LandmarkTable& landmarks);

// The 3D face the pose is solved against: one point per landmark, in model
// units (x to the subject's left, y up, z out of the face), exactly mirror
// symmetric, and how much each landmark counts in the fit (0: not at all).
struct FaceShape {
  cv::Point3d points[kLandmarkCount];
  double weights[kLandmarkCount];
};

// The landmark that lands where landmark `i` does on a mirrored face.
int mirrored_landmark(int i);

// The mean face with the weights of its landmarks.
FaceShape face_shape();

// Angles in degrees in the viewer's frame (x to the photo's right, y up, z
// from the photo towards the viewer), the head's rotation from looking
// straight into the camera being Rz(roll) Ry(yaw) Rx(pitch), right-handed.
// Yaw > 0: the face turns to the subject's left (the nose moves to the
// photo's right). Pitch > 0: it tilts down. Roll > 0: it leans to the
// subject's right shoulder (counterclockwise in the photo). A photo turned
// counterclockwise adds to roll alone; a mirrored photo negates yaw and roll.
struct NamedPose {
  bool solved = false;
  std::string reason;  // why there is no pose, when not solved
  double pitch = 0.0;
  double yaw = 0.0;
  double roll = 0.0;
  // Weighted RMS distance of the landmarks from the fitted face's
  // projection, in percent of the distance between its eye centres.
  double fit = 0.0;
  cv::Matx33d head;  // the head's axes in the viewer's frame (columns x, y, z)
};

// The pinhole camera of a photo of `width` x `height` pixels: focal length
// max(width, height) pixels, principal point at the photo's centre.
cv::Matx33d photo_camera(int32_t width, int32_t height);

// Why no face could give `landmarks` on the photo whose size is in `state`
// ("face too small", "landmarks on a line", "landmarks outside the photo"),
// or "" when one may.
std::string named_pose_fault(const AnalysisState& state, const PointTable& landmarks);

// Solves the named pose from `landmarks` of the photo whose size is in
// `state`.
// Never throws: landmarks no face could give, and solutions behind the camera
// or facing away from it, come back unsolved with the reason.
NamedPose solve_named_pose(const AnalysisState& state, const PointTable& landmarks);

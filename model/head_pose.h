// The record's head pose, from nine landmark / CANDIDE-3 vertex pairs.
#pragma once

#include <opencv2/core.hpp>

#include "driver/analysis_state.h"

// The head in the camera the pose is solved for: the rotation (Rodrigues
// vector) and translation (model units) that carry the model's nine vertices
// onto their canvas landmarks, and that camera's matrix.
struct HeadPose {
  cv::Mat camera_matrix;
  cv::Mat rotation_vector;
  cv::Mat translation_vector;
};

HeadPose solve_head_pose(const AnalysisState& state);

// Solves for the head's rotation in front of a pinhole camera (focal length
// 500 px, principal point at the 570x570 canvas centre, where the landmarks
// are) and stores its Euler angles in degrees about x, y, z.
void estimate_head_pose(AnalysisState& state);

// reported = euler shifted by 180 degrees about x and z (down when positive,
// up otherwise, NaN passing through); y unchanged.
void normalise_pose_angles(AnalysisState& state);

// Head pose from nine landmark / CANDIDE-3 vertex pairs.
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

// The pose searched for from the face looking straight at the camera: the
// solution with the head in front of it. False when the search leaves that
// side or gives no finite pose.
bool solve_facing_pose(const AnalysisState& state, HeadPose& pose);

// The head's turn away from looking straight at the camera, in degrees, in
// the frame of a face looking at the camera: x to the subject's left (the
// photo's right), y up, z from the face towards the camera. The rotation is
// Ry(yaw) Rx(pitch) Rz(roll), right-handed: roll applied first, about the
// line of sight; then pitch, about the ear-to-ear axis; then yaw, about the
// vertical. Yaw is positive when the face turns to the subject's left (the
// nose moves to the photo's right), pitch when it tilts down (the nose moves
// down), roll when the head leans to the subject's right shoulder
// (counterclockwise in the photo).
struct HeadAngles {
  double pitch = 0.0;
  double yaw = 0.0;
  double roll = 0.0;
};

HeadAngles head_angles(const HeadPose& pose);

// Solves for the head's rotation in front of a pinhole camera (focal length
// 500 px, principal point at the 570x570 canvas centre, where the landmarks
// are) and stores its Euler angles in degrees about x, y, z.
void estimate_head_pose(AnalysisState& state);

// reported = euler shifted by 180 degrees about x and z (down when positive,
// up otherwise, NaN passing through); y unchanged.
void normalise_pose_angles(AnalysisState& state);

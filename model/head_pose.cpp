#include "model/head_pose.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <algorithm>
#include <cmath>

namespace {

struct Correspondence {
  int landmark;
  int vertex;
};

constexpr Correspondence kPairs[9] = {
    {0, 62},  {8, 10},  {16, 29}, {48, 64}, {54, 31},
    {36, 53}, {39, 56}, {42, 23}, {45, 20},
};

double shift_half_turn(double angle) {
  return angle > 0.0 ? angle - 180.0 : angle + 180.0;
}

void fill_correspondences(const AnalysisState& state, cv::Mat& image_points,
                          cv::Mat& model_points) {
  image_points.create(9, 1, CV_32FC2);
  model_points.create(9, 1, CV_32FC3);
  for (int i = 0; i < 9; ++i) {
    const LandmarkPoint& p = state.landmarks[kPairs[i].landmark];
    const ModelVertex& v = state.model_vertices[kPairs[i].vertex];
    image_points.at<cv::Vec2f>(i) = {static_cast<float>(p.x), static_cast<float>(p.y)};
    model_points.at<cv::Vec3f>(i) = {v.x, v.y, v.z};
  }
}

cv::Mat canvas_camera() {
  const double centre = static_cast<double>(static_cast<float>(kCanvasSide) * 0.5f);
  return (cv::Mat_<double>(3, 3) << 500.0, 0.0, centre, 0.0, 500.0, centre, 0.0, 0.0, 1.0);
}

// Angle (degrees) of the rotation Ry(yaw) Rx(pitch) Rz(roll) = `head`.
HeadAngles decompose_head_rotation(const cv::Matx33d& head) {
  constexpr double kDegree = 180.0 / CV_PI;
  HeadAngles angles;
  angles.pitch = std::asin(std::clamp(-head(1, 2), -1.0, 1.0)) * kDegree;
  angles.yaw = std::atan2(head(0, 2), head(2, 2)) * kDegree;
  angles.roll = std::atan2(head(1, 0), head(1, 1)) * kDegree;
  return angles;
}

}  // namespace

HeadPose solve_head_pose(const AnalysisState& state) {
  cv::Mat image_points, model_points;
  fill_correspondences(state, image_points, model_points);
  HeadPose pose;
  pose.camera_matrix = canvas_camera();
  pose.rotation_vector = cv::Mat::zeros(3, 1, CV_64F);
  pose.translation_vector = cv::Mat::zeros(3, 1, CV_64F);
  cv::solvePnP(model_points, image_points, pose.camera_matrix, cv::Mat(), pose.rotation_vector,
               pose.translation_vector, false, cv::SOLVEPNP_ITERATIVE);
  return pose;
}

bool solve_facing_pose(const AnalysisState& state, HeadPose& pose) {
  cv::Mat image_points, model_points;
  fill_correspondences(state, image_points, model_points);
  pose.camera_matrix = canvas_camera();
  // Start from the face looking straight at the camera, at the distance at
  // which the model's jaw width (its first and third pairs) spans the
  // landmarks' jaw width, so that the search stays in front of the camera.
  const cv::Vec2f left = image_points.at<cv::Vec2f>(0), right = image_points.at<cv::Vec2f>(2);
  const cv::Vec3f model_left = model_points.at<cv::Vec3f>(0);
  const cv::Vec3f model_right = model_points.at<cv::Vec3f>(2);
  const double pixels = cv::norm(right - left);
  const double units = cv::norm(model_right - model_left);
  const double focal = pose.camera_matrix.at<double>(0, 0);
  const double depth = pixels > 1.0 ? focal * units / pixels : 10.0;
  const cv::Scalar centre = cv::mean(image_points);
  const double cx = pose.camera_matrix.at<double>(0, 2), cy = pose.camera_matrix.at<double>(1, 2);
  pose.rotation_vector = (cv::Mat_<double>(3, 1) << CV_PI, 0.0, 0.0);
  pose.translation_vector = (cv::Mat_<double>(3, 1) << (centre[0] - cx) * depth / focal,
                             (centre[1] - cy) * depth / focal, depth);
  try {
    cv::solvePnP(model_points, image_points, pose.camera_matrix, cv::Mat(), pose.rotation_vector,
                 pose.translation_vector, true, cv::SOLVEPNP_ITERATIVE);
  } catch (const cv::Exception&) {
    // This pose is given beside the record; where it cannot be had, the
    // record and its status stand.
    return false;
  }
  return cv::checkRange(pose.rotation_vector) && cv::checkRange(pose.translation_vector) &&
         pose.translation_vector.at<double>(2) > 0.0;
}

HeadAngles head_angles(const HeadPose& pose) {
  cv::Matx33d rotation;
  cv::Rodrigues(pose.rotation_vector, rotation);
  // The camera looks along +z with y down; the model has y up and z out of
  // the face, so a face looking straight at the camera is the half turn about
  // x. The head's own rotation is what remains after undoing that.
  const cv::Matx33d facing(1, 0, 0, 0, -1, 0, 0, 0, -1);
  return decompose_head_rotation(facing * rotation);
}

void estimate_head_pose(AnalysisState& state) {
  const HeadPose pose = solve_head_pose(state);
  cv::Mat rotation;
  cv::Rodrigues(pose.rotation_vector, rotation, cv::noArray());
  cv::Mat pose_matrix;
  cv::hconcat(rotation, pose.translation_vector, pose_matrix);

  cv::Mat camera, rotation_out, translation_out, rot_x, rot_y, rot_z;
  cv::Vec3d euler;
  cv::decomposeProjectionMatrix(pose_matrix, camera, rotation_out, translation_out,
                                rot_x, rot_y, rot_z, euler);
  for (int i = 0; i < 3; ++i) state.euler_angles[i] = euler[i];
}

void normalise_pose_angles(AnalysisState& state) {
  state.reported_angles[0] = shift_half_turn(state.euler_angles[0]);
  state.reported_angles[1] = state.euler_angles[1];
  state.reported_angles[2] = shift_half_turn(state.euler_angles[2]);
}

#include "model/head_pose.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
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

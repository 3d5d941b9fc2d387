// Writes the 3D face the named head pose is solved against, one line per
// landmark of the 68-point scheme, "landmark<i>: x, y, z":
// - x and y from the shape predictor's mean shape (the average face of the
//   photos it was trained on, as the first pass starts from it), made exactly
//   mirror symmetric;
// - z, the depth, from the CANDIDE-3 vertex (or the point between two
//   vertices) where that landmark sits on CANDIDE-3, scaled so that the nose
//   tip stands half the outer eye-corner distance in front of the outer eye
//   corners, as on people (CANDIDE-3's own figure is 0.34).
// Units: CANDIDE-3's, the outer eye corners 0.94 apart; x to the subject's
// left, y up, z out of the face.
// Usage: make_mean_face SHAPE_PREDICTOR CANDIDE3_TXT OUT
#include <dlib/matrix.h>
#include <dlib/serialize.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "driver/analysis_state.h"
#include "model/candide.h"
#include "model/named_pose.h"

namespace {

// Where a landmark of the subject's left half or of the middle line sits on
// CANDIDE-3: vertex `from` moved the fraction `t` of the way to vertex `to`.
// The inner lips, which the pose does not use, are placed roughly.
struct Anchor {
  int landmark;
  int from, to;
  double t;
};

constexpr Anchor kAnchors[] = {
    {8, 10, 10, 0},       {9, 32, 32, 0},       {10, 32, 30, 1.0 / 3}, {11, 32, 30, 2.0 / 3},
    {12, 30, 30, 0},      {13, 30, 28, 0.5},    {14, 28, 28, 0},       {15, 28, 29, 0.5},
    {16, 29, 29, 0},      {22, 17, 17, 0},      {23, 17, 16, 0.5},     {24, 16, 16, 0},
    {25, 16, 15, 0.5},    {26, 15, 15, 0},      {27, 4, 4, 0},         {28, 4, 5, 1.0 / 3},
    {29, 4, 5, 2.0 / 3},  {30, 5, 5, 0},        {33, 6, 6, 0},         {34, 111, 111, 0},
    {35, 26, 26, 0},      {42, 23, 23, 0},      {43, 71, 71, 0},       {44, 67, 67, 0},
    {45, 20, 20, 0},      {46, 68, 68, 0},      {47, 72, 72, 0},       {51, 7, 7, 0},
    {52, 79, 79, 0},      {53, 79, 31, 0.5},    {54, 31, 31, 0},       {55, 31, 85, 0.5},
    {56, 85, 85, 0},      {57, 8, 8, 0},        {62, 87, 87, 0},       {63, 81, 81, 0},
    {64, 31, 31, 0},      {65, 83, 83, 0},      {66, 87, 87, 0},
};

constexpr double kOuterEyeDistance = 0.94;  // CANDIDE-3's vertices 20 and 53
constexpr double kNoseProtrusion = 0.5;     // of the outer eye-corner distance

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: make_mean_face SHAPE_PREDICTOR CANDIDE3_TXT OUT\n";
    return 2;
  }
  // The predictor's file begins with its version and its mean shape: x0, y0,
  // x1, y1, ... in the unit box, y down.
  dlib::matrix<float, 0, 1> mean;
  try {
    std::ifstream in(argv[1], std::ios::binary);
    int version = 0;
    dlib::deserialize(version, in);
    dlib::deserialize(mean, in);
  } catch (const dlib::serialization_error& e) {
    std::cerr << "make_mean_face: " << argv[1] << ": " << e.what() << "\n";
    return 1;
  }
  if (mean.size() != 2 * kLandmarkCount) {
    std::cerr << "make_mean_face: " << argv[1] << " is no 68-point shape predictor\n";
    return 1;
  }
  AnalysisState state;
  std::ostringstream diagnostics;
  read_model_vertices(state, argv[2], diagnostics);
  if (!diagnostics.str().empty()) {
    std::cerr << "make_mean_face: " << argv[2] << ": " << diagnostics.str();
    return 1;
  }

  const auto mean_x = [&](int i) { return mean(2 * i) - 0.5; };
  const auto mean_y = [&](int i) { return -mean(2 * i + 1); };
  const double unit = kOuterEyeDistance / (mean_x(45) - mean_x(36));
  double depth[kLandmarkCount] = {};
  for (const Anchor& a : kAnchors) {
    const ModelVertex& from = state.model_vertices[a.from];
    const ModelVertex& to = state.model_vertices[a.to];
    depth[a.landmark] = depth[mirrored_landmark(a.landmark)] = from.z + a.t * (to.z - from.z);
  }
  const double depth_scale =
      kNoseProtrusion * kOuterEyeDistance / (depth[30] - (depth[36] + depth[45]) / 2);
  // The eye corners' height becomes CANDIDE-3's (0.148), so that the face
  // sits where the model's does.
  const double eye_height = (mean_y(36) + mean_y(39) + mean_y(42) + mean_y(45)) / 4;

  std::ofstream out(argv[3]);
  for (int i = 0; i < kLandmarkCount; ++i) {
    const int m = mirrored_landmark(i);
    // The mean of a point and its mirror's mirror image: left and right
    // agree to the last digit, and the middle line has x = 0.
    const double x = i == m ? 0.0 : unit * (mean_x(i) - mean_x(m)) / 2;
    const double y = 0.148 + unit * ((mean_y(i) + mean_y(m)) / 2 - eye_height);
    char line[96];
    std::snprintf(line, sizeof line, "landmark%d: %.6f, %.6f, %.6f\n", i, x, y,
                  depth_scale * depth[i]);
    out << line;
  }
  out.close();
  if (!out) {
    std::cerr << "make_mean_face: cannot write " << argv[3] << "\n";
    return 1;
  }
  return 0;
}

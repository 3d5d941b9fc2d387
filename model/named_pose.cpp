#include "model/named_pose.h"

#include <opencv2/calib3d.hpp>
#include <algorithm>
#include <cmath>
#include <vector>

#include "model/mean_face.h"

namespace {

constexpr double kDegree = 180.0 / CV_PI;

// Landmark i of a face and landmark kMirror[i] of its mirror image are the
// same point of the face (the middle line maps onto itself).
constexpr int kMirror[kLandmarkCount] = {
    16, 15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1,  0,   // jaw
    26, 25, 24, 23, 22, 21, 20, 19, 18, 17,                              // brows
    27, 28, 29, 30, 35, 34, 33, 32, 31,                                  // nose
    45, 44, 43, 42, 47, 46, 39, 38, 37, 36, 41, 40,                      // eyes
    54, 53, 52, 51, 50, 49, 48, 59, 58, 57, 56, 55,                      // outer lips
    64, 63, 62, 61, 60, 67, 66, 65,                                      // inner lips
};

// Rigid points count most; eyelids, brows and outer lips, which move with
// expression, less; the jaw line, a silhouette rather than a point of the
// face, least; the inner lips not at all.
constexpr double kRigid = 1.0, kMobile = 0.5, kJaw = 0.2, kNone = 0.0;

double landmark_weight(int i) {
  if (i <= 16) return kJaw;
  if (i <= 26) return kMobile;  // brows
  if (i <= 35) return kRigid;   // nose bridge and base
  if (i <= 47) return i == 36 || i == 39 || i == 42 || i == 45 ? kRigid : kMobile;
  if (i <= 59) return kMobile;  // outer lips
  return kNone;
}

// Smallest face the pose is solved for: eye centres this many pixels apart.
constexpr double kMinEyeDistance = 10.0;
// The landmarks' spread across their main direction, as a fraction of the
// spread along it, below which they lie on a line.
constexpr double kMinSpreadRatio = 0.1;
// Beyond this turn (degrees) the jaw line's far side, hidden behind the
// cheek, no longer counts; it fades out on the way there.
constexpr double kHiddenJawYaw = 10.0;

cv::Point2d eye_centre(const PointTable& landmarks, int first) {
  cv::Point2d sum(0, 0);
  for (int i = first; i < first + 6; ++i) sum += landmarks[i];
  return sum / 6.0;
}

cv::Point3d eye_centre(const FaceShape& face, int first) {
  cv::Point3d sum(0, 0, 0);
  for (int i = first; i < first + 6; ++i) sum += face.points[i];
  return sum / 6.0;
}

// Why no face gives these landmarks, or "" when one may.
std::string landmark_fault(const PointTable& landmarks, const FaceShape& face,
                           int32_t width, int32_t height) {
  if (cv::norm(eye_centre(landmarks, 36) - eye_centre(landmarks, 42)) < kMinEyeDistance) {
    return "face too small";
  }
  cv::Point2d mean(0, 0);
  double total = 0;
  for (int i = 0; i < kLandmarkCount; ++i) {
    const cv::Point2d& p = landmarks[i];
    // Beyond the outer pixels' edges, or not a number at all.
    if (face.weights[i] == kRigid &&
        !(p.x >= -0.5 && p.y >= -0.5 && p.x < width - 0.5 && p.y < height - 0.5)) {
      return "landmarks outside the photo";
    }
    mean += face.weights[i] * p;
    total += face.weights[i];
  }
  mean /= total;
  cv::Matx22d spread = cv::Matx22d::zeros();
  for (int i = 0; i < kLandmarkCount; ++i) {
    const cv::Point2d d = landmarks[i] - mean;
    spread += face.weights[i] * cv::Matx22d(d.x * d.x, d.x * d.y, d.x * d.y, d.y * d.y);
  }
  cv::Vec2d eigen;
  cv::eigen(spread, eigen);
  if (eigen[1] < kMinSpreadRatio * kMinSpreadRatio * eigen[0]) return "landmarks on a line";
  return "";
}

// The head's pose in the camera's frame: a point p of the face is seen at
// rotation * p + translation.
struct Fit {
  cv::Matx33d rotation = cv::Matx33d::eye();
  cv::Vec3d translation;
};

// Weighted squared reprojection error of the face through `fit`, and, when
// `normal` is given, the normal equations of six parameters: a small turn
// applied to the head before its rotation (a rotation vector), then the
// translation: J'WJ into `normal`, J'Wr into `gradient`.
double weighted_cost(const FaceShape& face, const std::vector<cv::Point2d>& image,
                     const cv::Matx33d& camera, const Fit& fit, cv::Matx66d* normal = nullptr,
                     cv::Vec6d* gradient = nullptr) {
  if (normal) {
    *normal = cv::Matx66d::zeros();
    *gradient = cv::Vec6d::all(0);
  }
  const double fx = camera(0, 0), fy = camera(1, 1), cx = camera(0, 2), cy = camera(1, 2);
  double cost = 0;
  for (int i = 0; i < kLandmarkCount; ++i) {
    const double w = face.weights[i];
    if (w == 0) continue;
    const cv::Point3d& p = face.points[i];
    const cv::Vec3d turned = fit.rotation * cv::Vec3d(p.x, p.y, p.z);
    const cv::Vec3d seen = turned + fit.translation;
    const double r[2] = {fx * seen[0] / seen[2] + cx - image[i].x,
                         fy * seen[1] / seen[2] + cy - image[i].y};
    cost += w * (r[0] * r[0] + r[1] * r[1]);
    if (!normal) continue;
    // The projection's derivatives by the seen point; the seen point's by a
    // small turn d is d x turned, by the translation the identity.
    const double z2 = seen[2] * seen[2];
    const cv::Matx23d by_point(fx / seen[2], 0, -fx * seen[0] / z2,
                               0, fy / seen[2], -fy * seen[1] / z2);
    const cv::Matx33d by_turn(0, turned[2], -turned[1],
                              -turned[2], 0, turned[0],
                              turned[1], -turned[0], 0);
    const cv::Matx23d turn_part = by_point * by_turn;
    for (int axis = 0; axis < 2; ++axis) {
      double row[6];
      for (int j = 0; j < 3; ++j) {
        row[j] = turn_part(axis, j);
        row[j + 3] = by_point(axis, j);
      }
      for (int j = 0; j < 6; ++j) {
        (*gradient)[j] += w * r[axis] * row[j];
        for (int k = 0; k < 6; ++k) (*normal)(j, k) += w * row[j] * row[k];
      }
    }
  }
  return cost;
}

// Levenberg-Marquardt on the weighted reprojection error, from `fit`.
void refine(const FaceShape& face, const std::vector<cv::Point2d>& image,
            const cv::Matx33d& camera, Fit& fit) {
  double damping = 1e-3;
  cv::Matx66d normal;
  cv::Vec6d gradient;
  double cost = weighted_cost(face, image, camera, fit, &normal, &gradient);
  for (int iteration = 0; iteration < 50; ++iteration) {
    cv::Matx66d damped = normal;
    for (int k = 0; k < 6; ++k) damped(k, k) *= 1.0 + damping;
    cv::Vec6d step;
    if (!cv::solve(damped, -gradient, step, cv::DECOMP_CHOLESKY)) break;
    Fit next = fit;
    cv::Matx33d turn;
    cv::Rodrigues(cv::Vec3d(step[0], step[1], step[2]), turn);
    next.rotation = turn * fit.rotation;
    next.translation += cv::Vec3d(step[3], step[4], step[5]);
    const double next_cost = weighted_cost(face, image, camera, next);
    if (!(next_cost < cost)) {
      damping *= 10;
      if (damping > 1e6) break;
      continue;
    }
    const bool settled = cost - next_cost < 1e-12 * cost;
    fit = next;
    cost = weighted_cost(face, image, camera, fit, &normal, &gradient);
    damping = std::max(damping / 10, 1e-9);
    if (settled) break;
  }
}

// The head's rotation in the viewer's frame (y up, z towards the viewer): a
// face looking straight into the camera is the identity.
cv::Matx33d viewer_rotation(const cv::Matx33d& rotation) {
  const cv::Matx33d camera_to_viewer(1, 0, 0, 0, -1, 0, 0, 0, -1);
  return camera_to_viewer * rotation;
}

// The jaw line's far side fades out as the head turns away from it.
void hide_far_jaw(FaceShape& face, double yaw) {
  const double kept = std::max(0.0, 1.0 - std::abs(yaw) / kHiddenJawYaw);
  for (int i = 0; i <= 16; ++i) {
    // Turned to the subject's left (yaw > 0), the left side (landmarks 9 to
    // 16, model x > 0) is the far one.
    const bool far = yaw > 0 ? face.points[i].x > 0 : face.points[i].x < 0;
    face.weights[i] = far ? kJaw * kept : kJaw;
  }
}

void decompose(NamedPose& pose) {
  const cv::Matx33d& h = pose.head;  // = Rz(roll) Ry(yaw) Rx(pitch)
  pose.yaw = std::asin(std::clamp(-h(2, 0), -1.0, 1.0)) * kDegree;
  pose.pitch = std::atan2(h(2, 1), h(2, 2)) * kDegree;
  pose.roll = std::atan2(h(1, 0), h(0, 0)) * kDegree;
}

// Why the fitted head cannot be the one photographed, or "".
std::string solution_fault(const Fit& fit) {
  if (!cv::checkRange(fit.rotation) || !cv::checkRange(fit.translation)) return "no solution";
  if (fit.translation[2] <= 0) return "behind the camera";
  // The face's outward direction against the line of sight to it.
  const cv::Vec3d outward(fit.rotation(0, 2), fit.rotation(1, 2), fit.rotation(2, 2));
  if (outward.dot(fit.translation) >= 0) return "facing away";
  return "";
}

}  // namespace

PointTable point_table(const LandmarkTable& landmarks) {
  PointTable points;
  for (int i = 0; i < kLandmarkCount; ++i) points[i] = {double(landmarks[i].x), double(landmarks[i].y)};
  return points;
}

int mirrored_landmark(int i) { return kMirror[i]; }

FaceShape face_shape() {
  FaceShape face;
  for (int i = 0; i < kLandmarkCount; ++i) {
    face.points[i] = {kMeanFace[i][0], kMeanFace[i][1], kMeanFace[i][2]};
    face.weights[i] = landmark_weight(i);
  }
  return face;
}

cv::Matx33d photo_camera(int32_t width, int32_t height) {
  const double focal = std::max(width, height);
  return cv::Matx33d(focal, 0, (width - 1) * 0.5, 0, focal, (height - 1) * 0.5, 0, 0, 1);
}

std::string named_pose_fault(const AnalysisState& state, const PointTable& landmarks) {
  return landmark_fault(landmarks, face_shape(), state.image_width, state.image_height);
}

NamedPose solve_named_pose(const AnalysisState& state, const PointTable& landmarks) {
  NamedPose pose;
  FaceShape face = face_shape();
  pose.reason = landmark_fault(landmarks, face, state.image_width, state.image_height);
  if (!pose.reason.empty()) return pose;

  const cv::Matx33d camera = photo_camera(state.image_width, state.image_height);
  std::vector<cv::Point2d> image;
  std::vector<cv::Point3d> model;
  std::vector<cv::Point2d> counted;
  for (int i = 0; i < kLandmarkCount; ++i) {
    image.push_back(landmarks[i]);
    if (face.weights[i] == kNone) continue;
    model.push_back(face.points[i]);
    counted.push_back(image.back());
  }
  Fit fit;
  try {
    // SQPnP finds the global minimum of the unweighted error; the weighted
    // fit starts there, then again once the hidden jaw side is known.
    cv::Vec3d rotation_vector;
    cv::solvePnP(model, counted, camera, cv::noArray(), rotation_vector, fit.translation, false,
                 cv::SOLVEPNP_SQPNP);
    cv::Rodrigues(rotation_vector, fit.rotation);
    refine(face, image, camera, fit);
    NamedPose first;
    first.head = viewer_rotation(fit.rotation);
    decompose(first);
    hide_far_jaw(face, first.yaw);
    refine(face, image, camera, fit);
  } catch (const cv::Exception&) {
    pose.reason = "no solution";
    return pose;
  }
  pose.reason = solution_fault(fit);
  if (!pose.reason.empty()) return pose;

  pose.head = viewer_rotation(fit.rotation);
  decompose(pose);
  double weight = 0;
  for (double w : face.weights) weight += w;
  const double rms = std::sqrt(weighted_cost(face, image, camera, fit) / weight);
  const double eye_pixels = camera(0, 0) *
                            cv::norm(eye_centre(face, 36) - eye_centre(face, 42)) /
                            fit.translation[2];
  pose.fit = 100.0 * rms / eye_pixels;
  pose.solved = true;
  return pose;
}

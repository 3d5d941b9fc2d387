// Face image quality components (after ISO/IEC 29794-5) and the skin tone,
// measured on the photo itself from the first landmark pass's 68 points and
// the named head pose: model-free geometry of the landmarks and statistics of
// the photo's pixels, each with its native value and, where the standard
// maps it, a 0-100 score (quality/scores.h).
#pragma once

#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "driver/analysis_state.h"
#include "model/named_pose.h"

struct QualityComponent {
  const char* name = "";
  bool defined = false;
  double value = 0;    // in the component's own unit (doc/numbers.md)
  bool scored = true;  // false for our own measures, which have no score
  int score = 0;       // 0..100, higher is better
  std::string reason;  // why the value is not defined
};

// The components' names, in the order FaceQuality::components holds them.
extern const char* const kQualityComponentNames[22];

struct FaceQuality {
  std::vector<QualityComponent> components;  // always the same names, in one order
  // The cheeks' mean colour in CIELAB (D50), the skin tone's L*, a*, b*.
  bool lab_defined = false;
  cv::Vec3d lab;
  const char* skin_category = "";  // the ITA's category, where it is defined
};

// The components of the face whose 68 `landmarks` (photo pixels) were placed
// on `photo` (8-bit BGR). `face_areas` are the areas of every face the
// landmark detector found on the photo (square photo pixels); `pose` the
// named head pose. Undefined values carry their reason; none is NaN.
FaceQuality measure_quality(const cv::Mat& photo, const LandmarkTable& landmarks,
                            const std::vector<double>& face_areas, const NamedPose& pose);

// A component with its value and its score (none where `score` is null);
// undefined where the value is not a finite number.
QualityComponent scored_component(const char* name, double value, int (*score)(double));
QualityComponent undefined_component(const char* name, const std::string& reason,
                                     bool scored = true);

// The component called `name`, or nullptr.
const QualityComponent* find_component(const FaceQuality& quality, const std::string& name);

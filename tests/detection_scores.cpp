// Prints, for each photo, what dlib's face detector found on it: the number
// of faces and the strongest one's box and confidence, the confidence as a
// hexadecimal float (%a), so that two builds can be compared to the bit.
// Usage: detection_scores SHAPE_PREDICTOR PHOTO...
#include <cstdio>
#include <iostream>

#include "face/detection.h"
#include "face/landmarks.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: detection_scores SHAPE_PREDICTOR PHOTO...\n";
    return 2;
  }
  LandmarkLocator locator(argv[1]);
  for (int i = 2; i < argc; ++i) {
    AnalysisState state;
    state.landmark_count = kLandmarkCount;
    const cv::Mat photo = load_input_image(argv[i], state);
    LandmarkPass pass;
    if (!photo.empty()) locate_landmarks(photo, locator, state, &pass);
    std::printf("%s %d %d,%d,%d,%d %a\n", argv[i], pass.faces, pass.box.x, pass.box.y,
                pass.box.width, pass.box.height, pass.score);
  }
  return 0;
}

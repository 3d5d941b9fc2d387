// The 3D face of the named head pose: x, y, z of each of the 68 landmarks, in
// CANDIDE-3's units (outer eye corners 0.94 apart), x to the subject's left,
// y up, z out of the face; exactly mirror symmetric. Built into the program
// from data/mean_face.txt (scripts/make-mean-face.sh).
#pragma once

#include "driver/analysis_state.h"

extern const double kMeanFace[kLandmarkCount][3];

// Head pose from nine landmark / CANDIDE-3 vertex pairs.
#pragma once

#include "driver/analysis_state.h"

// Solves for the head's rotation in front of a pinhole camera (focal length
// 500 px, principal point at the 570x570 canvas centre, where the landmarks
// are) and stores its Euler angles in degrees about x, y, z.
void estimate_head_pose(AnalysisState& state);

// reported = euler shifted by 180 degrees about x and z (down when positive,
// up otherwise, NaN passing through); y unchanged.
void normalise_pose_angles(AnalysisState& state);

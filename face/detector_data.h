// dlib's frontal face detector in dlib's serialization, unpacked at build
// time (make_detector_data.cpp).
#pragma once

#include <cstddef>

extern const unsigned char kFrontalFaceDetectorData[];
extern const size_t kFrontalFaceDetectorSize;

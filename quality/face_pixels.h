// The quality components measured on the photo's pixels.
#pragma once

#include <opencv2/core.hpp>

#include "quality/face_frame.h"
#include "quality/quality.h"

// Luminance mean and variance, under- and over-exposure and dynamic range
// over the face region (the landmarks' convex hull); illumination
// uniformity, natural colour and skin tone over the two cheek squares.
// `photo` is 8-bit BGR.
void add_pixel_components(const cv::Mat& photo, const FaceFrame& frame, FaceQuality& quality);

// Our own measures, with no score: sharpness of the face and uniformity of
// the background beside the head, both on the photo resampled so that the
// eye centres lie kViewEyeDistance pixels apart.
void add_model_free_components(const cv::Mat& photo, const FaceFrame& frame, FaceQuality& quality);

constexpr double kViewEyeDistance = 64;

// An sRGB-encoded value (0..1) in linear light (0..1).
double linear_light(double encoded);

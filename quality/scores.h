// The score mappings of the face image quality components: each turns a
// component's native value into a 0-100 integer, higher being better.
#pragma once

// The logistic sigma(x; x0, w) = 1 / (1 + e^((x0 - x) / w)).
double sigmoid(double x, double x0, double w);

// A mapping's value rounded to the nearest integer and held to 0..100.
int score_of(double mapped);

// Luminance mean m in [0, 1] (linear light) of the face region.
int luminance_mean_score(double m);
// Luminance variance v of the face region.
int luminance_variance_score(double v);
// Share of the face region with 8-bit luminance <= 25, and >= 247.
int under_exposure_score(double share);
int over_exposure_score(double share);
// Shannon entropy in bits of the face region's 256-bin luminance histogram.
int dynamic_range_score(double bits);
// Intersection (0..1) of the cheeks' normalised luminance histograms.
int illumination_uniformity_score(double intersection);
// Distance of the cheeks' mean a*, b* from the natural skin box.
int natural_colour_score(double distance);
// The smaller eye's opening, and the mouth's inner opening, over T.
int eyes_open_score(double opening);
int mouth_closed_score(double opening);
// Inter-eye distance in photo pixels over cos(yaw).
int inter_eye_distance_score(double pixels);
// T over the photo's height.
int head_size_score(double ratio);
// Eye centre to the left or right edge over the inter-eye distance.
int side_crop_score(double ratio);
// Eye midpoint to the top edge, and to the bottom edge, over T.
int margin_above_score(double ratio);
int margin_below_score(double ratio);
// A head angle in degrees.
int head_angle_score(double degrees);
// Second-largest detected face's area over the largest's.
int single_face_score(double area_ratio);

// The Individual Typology Angle's conventional category: "very light",
// "light", "intermediate", "tan", "brown" or "dark".
const char* ita_category(double degrees);

// The record through which the stages of one analysis exchange their results.
#pragma once

#include <cstdint>

constexpr int kLandmarkCount = 68;
constexpr int kVertexCount = 113;
constexpr int kCanvasSide = 570;  // the normalised face image is square

struct LandmarkPoint {
  int32_t x = 0;
  int32_t y = 0;
};

// 68-point face markup; pixel coordinates of the image the last pass ran on
// (the photo after the first pass, the 570x570 canvas after the second).
using LandmarkTable = LandmarkPoint[kLandmarkCount];

struct ModelVertex {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;
};

// CANDIDE-3 vertices; vertex i comes from line i + 1 of the model file.
using ModelVertexTable = ModelVertex[kVertexCount];

struct AnalysisState {
  int32_t image_width = 0;   // photo columns as loaded; never changed after
  int32_t image_height = 0;  // photo rows as loaded
  int32_t landmark_count = 0;
  LandmarkTable landmarks;
  int32_t vertex_count = 0;
  ModelVertexTable model_vertices;
  double euler_angles[3] = {0.0, 0.0, 0.0};     // degrees about x, y, z
  double reported_angles[3] = {0.0, 0.0, 0.0};  // after the 180-degree rule
};

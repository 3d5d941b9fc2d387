#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "face/landmarks.h"
#include "tests/support.h"

namespace {

TEST(LandmarkLocator, RejectsAModelWithoutSixtyEightParts) {
  ScratchDir dir;
  for (long parts : {0, 67, 70}) {
    const std::string path = (dir / ("model" + std::to_string(parts) + ".dat")).string();
    dlib::serialize(path) << dlib::shape_predictor(dlib::zeros_matrix<float>(2 * parts, 1), {},
                                                   {});
    try {
      LandmarkLocator locator(path);
      ADD_FAILURE() << "a model of " << parts << " parts was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "The shape predictor in " + path + " places " +
                                           std::to_string(parts) +
                                           " points per face; 68 are needed.");
    }
  }
}

TEST(LandmarkLocator, DamagedModelFilesGiveDlibsOwnMessage) {
  ScratchDir dir;
  for (const auto& [name, bytes] : damaged_models()) {
    const std::string path = (dir / name).string();
    write_file(path, bytes);
    const std::string expected = dlibs_model_message(path);
    ASSERT_NE(expected, "") << name;
    EXPECT_NE(expected.find("'" + path + "'"), std::string::npos) << expected;
    try {
      LandmarkLocator locator(path);
      ADD_FAILURE() << name << " was accepted";
    } catch (const dlib::serialization_error& e) {
      EXPECT_EQ(std::string(e.what()), expected) << name;
    }
  }
  const std::string absent = (dir / "absent.dat").string();
  try {
    LandmarkLocator locator(absent);
    FAIL() << "a missing model was accepted";
  } catch (const dlib::serialization_error& e) {
    EXPECT_EQ(std::string(e.what()), dlibs_model_message(absent));
    EXPECT_EQ(std::string(e.what()), "Unable to open " + absent + " for reading.");
  }
}

// The detector unpacked at build time is dlib's own, byte for byte: a stale or
// cut copy would find other faces.
TEST(BuildFaceDetector, IsDlibsFrontalFaceDetector) {
  std::ostringstream built;
  dlib::serialize(build_face_detector(), built);
  const std::string dlibs = dlib::get_serialized_frontal_faces();
  EXPECT_EQ(built.str().size(), dlibs.size());
  EXPECT_TRUE(built.str() == dlibs);
}

TEST(LocateLandmarks, NoFaceZeroesTheTable) {
  static LandmarkLocator locator(PREDICTOR_FILE);
  AnalysisState state;
  state.landmark_count = kLandmarkCount;
  ASSERT_TRUE(locate_landmarks(read_photo("grace_hopper.jpg"), locator, state));
  EXPECT_NE(state.landmarks[8].y, 0);
  EXPECT_FALSE(locate_landmarks(cv::Mat(300, 300, CV_8UC3, cv::Scalar(30, 60, 90)), locator,
                                state));
  for (const LandmarkPoint& p : state.landmarks) {
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 0);
  }
}

}  // namespace

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "face/landmarks.h"
#include "tests/support.h"

namespace {

TEST(LandmarkLocator, RejectsAModelWithoutSixtyEightParts) {
  ScratchDir dir;
  const std::string path = (dir / "empty_model.dat").string();
  dlib::serialize(path) << dlib::shape_predictor();
  try {
    LandmarkLocator locator(path);
    FAIL() << "a model of 0 parts was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "The shape predictor in " + path + " places 0 points per face; 68 are needed.");
  }
}

// Broken model files end in dlib's serialization error, whatever the damage.
TEST(LandmarkLocator, BrokenModelFilesRaiseSerializationErrors) {
  ScratchDir dir;
  const std::string model = read_file(PREDICTOR_FILE);
  const std::pair<const char*, std::string> files[] = {
      {"empty.dat", ""},
      {"text.dat", "not a model"},
      {"truncated.dat", model.substr(0, 1000)},
      {"half.dat", model.substr(0, model.size() / 2)},
  };
  for (const auto& [name, bytes] : files) {
    write_file(dir / name, bytes);
    EXPECT_THROW(LandmarkLocator((dir / name).string()), dlib::serialization_error) << name;
  }
  try {
    LandmarkLocator((dir / "absent.dat").string());
    FAIL() << "a missing model was accepted";
  } catch (const dlib::serialization_error& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to open " + (dir / "absent.dat").string() +
                                         " for reading.");
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

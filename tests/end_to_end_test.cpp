// The real faceprobe binary, run in a scratch working directory as a caller
// would: exact standard output, standard error, exit status and files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <regex>
#include <sstream>

#include "tests/support.h"

namespace {

const std::string kImageNotFound = "ERROR: IMAGE NOT FOUND\n";
const std::string kCascadeNotFound = "ERROR: CASCADE NOT FOUND\n";
const std::string kFaceNotFound = "ERROR: FACE NOT FOUND\n";

// libpng warns on standard error about some colour profiles by itself.
std::string without_library_warnings(const std::string& err) {
  std::istringstream lines(err);
  std::string line, kept;
  while (std::getline(lines, line)) {
    if (line.rfind("libpng warning:", 0) != 0) kept += line + "\n";
  }
  return kept;
}

// A scratch working directory with the data files and a copy of one photo.
struct Workspace {
  explicit Workspace(int data = kAllData) { link_data_files(dir.path(), data); }
  void add_photo(const std::string& name) { fs::copy_file(test_photo(name), dir / name); }
  void add_image(const std::string& name, const cv::Mat& image) {
    ASSERT_TRUE(cv::imwrite((dir / name).string(), image));
  }
  std::set<std::string> new_entries() const {
    std::set<std::string> entries = dir.entries();
    for (const char* data : {"haarcascade_frontalface_alt.xml",
                             "shape_predictor_68_face_landmarks.dat", "candide3.txt"}) {
      entries.erase(data);
    }
    return entries;
  }
  RunResult run(const std::vector<std::string>& args) const { return run_program(dir.path(), args); }
  ScratchDir dir;
};

struct Record {
  std::vector<cv::Point> landmarks;
  int brightness = -1;
  double angles[3] = {0, 0, 0};
};

// Parses a record, failing the test when its form is wrong.
Record parse_record(const std::string& text) {
  Record record;
  const std::regex form(R"(^(-?\d+,){135}-?\d+\|\|\d+\|\|(-?\d+\.\d{6},){2}-?\d+\.\d{6}$)");
  EXPECT_TRUE(std::regex_match(text, form)) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), ','), 137);
  std::string fields = text;
  std::replace(fields.begin(), fields.end(), ',', ' ');
  std::replace(fields.begin(), fields.end(), '|', ' ');
  std::istringstream in(fields);
  for (int i = 0; i < 68; ++i) {
    cv::Point p;
    in >> p.x >> p.y;
    record.landmarks.push_back(p);
  }
  in >> record.brightness >> record.angles[0] >> record.angles[1] >> record.angles[2];
  return record;
}

double mean_y(const Record& record, int first, int last) {
  double sum = 0;
  for (int i = first; i <= last; ++i) sum += record.landmarks[i].y;
  return sum / (last - first + 1);
}

TEST(EndToEnd, UnreadableImagePathsPrintImageNotFound) {
  Workspace ws;
  write_file(ws.dir / "notes.jpg", "this is text, not a JPEG\n");
  fs::create_directory(ws.dir / "folder.jpg");
  const std::vector<std::vector<std::string>> command_lines = {
      {"missing.jpg"}, {"notes.jpg"}, {""}, {}, {"folder.jpg"}, {"missing.jpg", "extra"}};
  for (const auto& args : command_lines) {
    const RunResult r = ws.run(args);
    const std::string shown = args.empty() ? "(no argument)" : args[0];
    EXPECT_EQ(r.out, kImageNotFound) << shown;
    EXPECT_EQ(r.err, "") << shown;
    EXPECT_EQ(r.status, 255) << shown;
    EXPECT_EQ(ws.new_entries(), (std::set<std::string>{"notes.jpg", "folder.jpg"})) << shown;
  }
}

TEST(EndToEnd, MissingCascadeComesBeforeTheFaceQuestion) {
  Workspace ws(kPredictor | kModel);
  ws.add_photo("grace_hopper.jpg");
  ws.add_image("flat.png", cv::Mat(300, 400, CV_8UC3, cv::Scalar(40, 200, 90)));
  for (const char* photo : {"grace_hopper.jpg", "flat.png"}) {
    const RunResult r = ws.run({photo});
    EXPECT_EQ(r.out, kCascadeNotFound) << photo;
    EXPECT_EQ(r.status, 255) << photo;
  }
  EXPECT_EQ(ws.new_entries(), (std::set<std::string>{"grace_hopper.jpg", "flat.png"}));
}

// Photos the cascade finds no face in. The shape predictor is absent: the
// run must stop before it would be read.
TEST(EndToEnd, NoFaceForTheCascade) {
  Workspace ws(kCascade | kModel);
  cv::Mat noise(480, 640, CV_8UC3);
  cv::randu(noise, cv::Scalar::all(0), cv::Scalar::all(256));
  ws.add_image("noise.png", noise);
  ws.add_image("flat.jpg", cv::Mat(480, 640, CV_8UC3, cv::Scalar(200, 180, 160)));
  // The face is about a thirtieth of the width, below the tenth searched for.
  cv::Mat wide(1200, 6000, CV_8UC3, cv::Scalar(255, 255, 255));
  read_photo("grace_hopper.jpg").copyTo(wide(cv::Rect(2000, 300, 512, 600)));
  ws.add_image("small_face.jpg", wide);
  // Upside down.
  cv::Mat flipped;
  cv::flip(read_photo("grace_hopper.jpg"), flipped, -1);
  ws.add_image("upside_down.jpg", flipped);
  for (const char* photo : {"noise.png", "flat.jpg", "small_face.jpg", "upside_down.jpg"}) {
    const RunResult r = ws.run({photo});
    EXPECT_EQ(r.out, kFaceNotFound) << photo;
    EXPECT_EQ(r.err, "") << photo;
    EXPECT_EQ(r.status, 255) << photo;
  }
  EXPECT_EQ(ws.new_entries().size(), 4u);
}

TEST(EndToEnd, MissingShapePredictorEndsInTheTrap) {
  Workspace ws(kCascade | kModel);
  ws.add_photo("grace_hopper.jpg");
  const RunResult r = ws.run({"grace_hopper.jpg", "more", "args"});
  EXPECT_EQ(r.out,
            "ERROR: EXCEPTION THROWN!\n"
            "Unable to open shape_predictor_68_face_landmarks.dat for reading.\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(ws.new_entries(), std::set<std::string>{"grace_hopper.jpg"});
}

// A damaged model ends in the trap with dlib's own message, which names the
// file, and before any file is written.
TEST(EndToEnd, DamagedShapePredictorEndsInTheTrapInDlibsWords) {
  const std::string model = "shape_predictor_68_face_landmarks.dat";
  for (const auto& [name, bytes] : damaged_models()) {
    Workspace ws(kCascade | kModel);
    ws.add_photo("grace_hopper.jpg");
    write_file(ws.dir / model, bytes);
    std::string expected = dlibs_model_message((ws.dir / model).string());
    const std::string absolute = "'" + (ws.dir / model).string() + "'";
    ASSERT_NE(expected.find(absolute), std::string::npos) << expected;
    expected.replace(expected.find(absolute), absolute.size(), "'" + model + "'");
    const RunResult r = ws.run({"grace_hopper.jpg"});
    EXPECT_EQ(r.out, "ERROR: EXCEPTION THROWN!\n" + expected + "\n") << name;
    EXPECT_EQ(r.err, "") << name;
    EXPECT_EQ(r.status, 255) << name;
    EXPECT_EQ(ws.new_entries(), std::set<std::string>{"grace_hopper.jpg"}) << name;
  }
}

// The model is read on a second thread from the run's start; a damaged one
// is still reported only where the run reaches it, after a missing photo, a
// missing cascade and the cascade's miss, each of which ends the run at once.
TEST(EndToEnd, EarlierOutcomesComeBeforeADamagedModel) {
  struct Case {
    int data;
    const char* photo;
    const std::string& out;
  };
  const Case cases[] = {{kCascade | kModel, "missing.jpg", kImageNotFound},
                        {kModel, "grace_hopper.jpg", kCascadeNotFound},
                        {kCascade | kModel, "flat.png", kFaceNotFound}};
  const auto damaged = damaged_models();
  ASSERT_FALSE(damaged.empty());
  for (const Case& c : cases) {
    for (const auto& [name, bytes] : damaged) {
      Workspace ws(c.data);
      ws.add_photo("grace_hopper.jpg");
      ws.add_image("flat.png", cv::Mat(300, 400, CV_8UC3, cv::Scalar(40, 200, 90)));
      write_file(ws.dir / "shape_predictor_68_face_landmarks.dat", bytes);
      const RunResult r = ws.run({c.photo});
      EXPECT_EQ(r.out, c.out) << c.photo << ", " << name;
      EXPECT_EQ(r.err, "") << c.photo << ", " << name;
      EXPECT_EQ(r.status, 255) << c.photo << ", " << name;
    }
  }
}

class PhotoRecord : public testing::TestWithParam<std::string> {};

TEST_P(PhotoRecord, RecordAloneAndNormalisedImageBesideThePhoto) {
  const std::string photo = GetParam();
  Workspace ws;
  fs::create_directory(ws.dir / "in.put");
  fs::copy_file(test_photo(photo), ws.dir / "in.put" / photo);
  const std::string input = "in.put/" + photo;
  const RunResult r = ws.run({input});
  ASSERT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(without_library_warnings(r.err), "");
  const Record record = parse_record(r.out);

  const std::string stem = photo.substr(0, photo.rfind('.'));
  const cv::Mat canvas = cv::imread((ws.dir / "in.put" / (stem + "_resize.jpg")).string());
  ASSERT_EQ(canvas.size(), cv::Size(570, 570));
  EXPECT_EQ(ws.new_entries(), std::set<std::string>{"in.put"});

  // The letterbox leaves white bands on two opposite sides.
  const auto white = [&](const cv::Rect& band) {
    return cv::mean(canvas(band))[0] > 245 && cv::mean(canvas(band))[2] > 245;
  };
  EXPECT_TRUE((white({0, 0, 570, 2}) && white({0, 568, 570, 2})) ||
              (white({0, 0, 2, 570}) && white({568, 0, 2, 570})));

  // Canvas landmarks in a frontal face's layout.
  for (const cv::Point& p : record.landmarks) {
    EXPECT_TRUE(cv::Rect(0, 0, 570, 570).contains(p)) << p;
  }
  const double eyes = mean_y(record, 36, 47), nose = mean_y(record, 30, 35),
               mouth = mean_y(record, 48, 67), chin = record.landmarks[8].y;
  EXPECT_LT(eyes, nose);
  EXPECT_LT(nose, mouth);
  EXPECT_LT(mouth, chin);
  EXPECT_LT(record.landmarks[36].x, record.landmarks[45].x);

  // An upright face from the front: little pitch and roll, the roll that of
  // the eye line, and a yaw below a half-profile.
  for (double angle : record.angles) EXPECT_TRUE(std::isfinite(angle));
  EXPECT_LT(std::abs(record.angles[0]), 25.0);
  EXPECT_LT(std::abs(record.angles[1]), 50.0);
  const cv::Point eye_line = record.landmarks[45] - record.landmarks[36];
  const double eye_roll = std::atan2(eye_line.y, eye_line.x) * 180.0 / M_PI;
  EXPECT_NEAR(record.angles[2], eye_roll, 6.0);
  EXPECT_GT(record.brightness, 20);
  EXPECT_LE(record.brightness, 100);
}

INSTANTIATE_TEST_SUITE_P(Photos, PhotoRecord,
                         testing::Values("grace_hopper.jpg", "astronaut.png", "einstein.jpg"),
                         [](const auto& info) {
                           return info.param.substr(0, info.param.find('.'));
                         });

TEST(EndToEnd, ExtraArgumentsChangeNothing) {
  Workspace ws;
  ws.add_photo("grace_hopper.jpg");
  const RunResult plain = ws.run({"grace_hopper.jpg"});
  const std::string first = read_file(ws.dir / "grace_hopper_resize.jpg");
  const RunResult extra = ws.run({"grace_hopper.jpg", "astronaut.png", "-x", ""});
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(extra.status, 1);
  EXPECT_EQ(plain.out, extra.out);
  EXPECT_EQ(first, read_file(ws.dir / "grace_hopper_resize.jpg"));
}

// A tilted head: the reported roll follows the tilt's direction and size.
TEST(EndToEnd, RollFollowsATiltedPhoto) {
  Workspace ws;
  const cv::Mat photo = read_photo("grace_hopper.jpg");
  double rolls[2];
  const double tilts[2] = {-8.0, 8.0};  // degrees, counter-clockwise on screen
  for (int i = 0; i < 2; ++i) {
    cv::Mat tilted;
    const cv::Mat turn = cv::getRotationMatrix2D(cv::Point2f(256, 300), tilts[i], 1.0);
    cv::warpAffine(photo, tilted, turn, photo.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    ws.add_image("tilt" + std::to_string(i) + ".png", tilted);
    const RunResult r = ws.run({"tilt" + std::to_string(i) + ".png"});
    ASSERT_EQ(r.status, 1) << r.out;
    rolls[i] = parse_record(r.out).angles[2];
  }
  // Turned clockwise on screen, the eye line runs downhill to the image's
  // right (positive roll); counter-clockwise, uphill.
  EXPECT_NEAR(rolls[0] - rolls[1], 16.0, 5.0);
}

TEST(EndToEnd, CascadeFaceThatTheLandmarkDetectorMisses) {
  Workspace ws(kCascade | kPredictor);  // no model file: it must not be reached
  cv::Mat faint;
  read_photo("grace_hopper.jpg").convertTo(faint, -1, 0.03, 128 * 0.97);
  ws.add_image("faint.png", faint);
  const RunResult r = ws.run({"faint.png"});
  EXPECT_EQ(r.out, kFaceNotFound);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(ws.new_entries(), std::set<std::string>{"faint.png"});
}

TEST(EndToEnd, FaceLostOnTheCanvasKeepsTheWrittenImage) {
  Workspace ws;
  cv::Mat blurred;
  cv::GaussianBlur(read_photo("astronaut.png"), blurred, cv::Size(23, 23), 0);
  ws.add_image("blurred.png", blurred);
  const RunResult r = ws.run({"blurred.png"});
  EXPECT_EQ(r.out, kFaceNotFound);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(ws.new_entries(), (std::set<std::string>{"blurred.png", "blurred_resize.jpg"}));
  EXPECT_EQ(cv::imread((ws.dir / "blurred_resize.jpg").string()).size(), cv::Size(570, 570));
}

TEST(EndToEnd, UnwritableNormalisedImageIsReportedAndTheRecordFollows) {
  Workspace ws;
  ws.add_photo("grace_hopper.jpg");
  fs::create_directory(ws.dir / "grace_hopper_resize.jpg");  // cannot be written over
  const RunResult r = ws.run({"grace_hopper.jpg"});
  EXPECT_EQ(r.status, 1);
  parse_record(r.out);
  EXPECT_NE(r.err.find("Failed writing grace_hopper_resize.jpg"), std::string::npos) << r.err;
}

TEST(EndToEnd, MissingModelFileEndsInTheTrapAfterTheImageIsWritten) {
  Workspace ws(kCascade | kPredictor);
  ws.add_photo("grace_hopper.jpg");
  const RunResult r = ws.run({"grace_hopper.jpg"});
  EXPECT_EQ(r.err, "Failed opening candide3.txt for reading!\nInvalid file\nInvalid file\n");
  EXPECT_EQ(r.out,
            "ERROR: EXCEPTION THROWN!\n"
            "basic_string::substr: __pos (which is 1) > this->size() (which is 0)\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(fs::exists(ws.dir / "grace_hopper_resize.jpg"));
}

TEST(EndToEnd, HalvedPhotoMeasuresHalfAsBright) {
  Workspace ws;
  const cv::Mat photo = read_photo("grace_hopper.jpg");
  ws.add_image("full.png", photo);
  ws.add_image("half.png", photo / 2);
  const RunResult full = ws.run({"full.png"});
  const RunResult half = ws.run({"half.png"});
  ASSERT_EQ(full.status, 1);
  ASSERT_EQ(half.status, 1);
  const double ratio = static_cast<double>(parse_record(full.out).brightness) /
                       parse_record(half.out).brightness;
  EXPECT_NEAR(ratio, 2.0, 0.15);
}

}  // namespace

namespace {

// A record that cannot reach standard output is a failure, not a success.
TEST(EndToEnd, LostRecordIsNotASuccess) {
  Workspace ws;
  ws.add_photo("grace_hopper.jpg");
  const std::string command = "cd '" + ws.dir.path().string() + "' && '" FACEPROBE_BIN
                              "' grace_hopper.jpg >/dev/full 2>err.txt";
  const int wait_status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(wait_status));
  EXPECT_EQ(WEXITSTATUS(wait_status), 255);
  EXPECT_NE(read_file(ws.dir / "err.txt").find("could not be written"), std::string::npos);
}

}  // namespace

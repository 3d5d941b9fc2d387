// faceprobe-batch against faceprobe itself, and its handling of a batch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "analysis/image_header.h"
#include "analysis/photo_analysis.h"
#include "batch/inputs.h"
#include "batch/options.h"
#include "batch/result_line.h"
#include "model/candide.h"
#include "tests/support.h"

namespace {

std::string tsv_unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\' || i + 1 == field.size()) {
      out += field[i];
      continue;
    }
    const char c = field[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
  }
  return out;
}

// What faceprobe prints for a batch's TSV row: the record, or the status and
// the message.
std::string faceprobe_output(const TsvRow& row) {
  if (row.at("status") == "ok") return row.at("record");
  const std::string& message = row.at("message");
  return row.at("status") + "\n" + (message.empty() ? "" : tsv_unescape(message) + "\n");
}

// The test photos and the failure cases, written into `dir`.
std::vector<std::string> write_cases(const fs::path& dir) {
  for (const char* photo : {"grace_hopper.jpg", "astronaut.png", "einstein.jpg"}) {
    fs::copy_file(test_photo(photo), dir / photo);
  }
  write_file(dir / "text.jpg", "not a photo");
  cv::imwrite((dir / "flat.png").string(), cv::Mat(300, 400, CV_8UC3, cv::Scalar(9, 99, 199)));
  cv::Mat faint, blurred;
  read_photo("grace_hopper.jpg").convertTo(faint, -1, 0.03, 128 * 0.97);
  cv::imwrite((dir / "faint.png").string(), faint);
  cv::GaussianBlur(read_photo("astronaut.png"), blurred, cv::Size(23, 23), 0);
  cv::imwrite((dir / "blurred.png").string(), blurred);
  write_file(dir / "huge.jpg", huge_jpeg(read_file(test_photo("grace_hopper.jpg"))));
  return {"grace_hopper.jpg", "astronaut.png", "einstein.jpg", "text.jpg", "flat.png",
          "faint.png",        "blurred.png",   "missing.jpg",  "huge.jpg"};
}

TEST(Batch, SameRecordsAndImagesAsFaceprobeWithAnyNumberOfJobs) {
  ScratchDir single, batch1, batch4;
  for (const ScratchDir* dir : {&single, &batch1, &batch4}) link_data_files(dir->path());
  const std::vector<std::string> names = write_cases(single.path());
  write_cases(batch1.path());
  write_cases(batch4.path());

  // Above OpenCV's own limit, so that huge.jpg goes to the decoder and throws.
  std::vector<std::string> args1 = {"--max-pixels", "5000000000", "--jobs", "1"};
  std::vector<std::string> args4 = {"--max-pixels", "5000000000", "--jobs", "4"};
  args1.insert(args1.end(), names.begin(), names.end());
  args4.insert(args4.end(), names.begin(), names.end());
  const RunResult one = run_program(batch1.path(), args1, FACEPROBE_BATCH_BIN);
  const RunResult four = run_program(batch4.path(), args4, FACEPROBE_BATCH_BIN);
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out, four.out);

  const std::vector<TsvRow> rows = tsv_rows(one.out);
  ASSERT_EQ(rows.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const RunResult alone = run_program(single.path(), {names[i]});
    EXPECT_EQ(rows[i].at("path"), names[i]);
    EXPECT_EQ(faceprobe_output(rows[i]), alone.out) << names[i];
    // The record's brightness in its own column; the named angles where the
    // photo was analysed.
    const bool ok = rows[i].at("status") == "ok";
    EXPECT_EQ(rows[i].at("brightness").empty(), !ok) << names[i];
    EXPECT_EQ(rows[i].at("yaw").empty(), !ok) << names[i];
    if (ok) {
      EXPECT_NE(rows[i].at("record").find("||" + rows[i].at("brightness") + "||"),
                std::string::npos);
      EXPECT_EQ(rows[i].at("normalised"), names[i].substr(0, names[i].rfind('.')) + "_resize.jpg");
    }
  }
  EXPECT_EQ(single.entries(), batch1.entries());
  for (const std::string& name : single.entries()) {
    if (name.find("_resize.jpg") == std::string::npos) continue;
    EXPECT_EQ(read_file(single / name), read_file(batch1 / name)) << name;
    EXPECT_EQ(read_file(single / name), read_file(batch4 / name)) << name;
  }
}

TEST(Batch, BadInputGetsItsLineAndTheBatchGoesOn) {
  ScratchDir dir;
  link_data_files(dir.path());
  fs::create_directory(dir / "no_images");
  write_file(dir / "no_images" / "notes.txt", "text");
  const std::string jpeg = read_file(test_photo("grace_hopper.jpg"));
  write_file(dir / "truncated.jpg", jpeg.substr(0, 300));
  fs::copy_file(test_photo("grace_hopper.jpg"), dir / "face.jpg");
  fs::copy_file(test_photo("grace_hopper.jpg"), dir / "face.png");
  fs::create_directory(dir / "other");
  fs::copy_file(test_photo("einstein.jpg"), dir / "other" / "face.jpg");
  fs::create_directory(dir / "drawn");
  const RunResult r = run_program(dir.path(),
                                  {"--annotate", "drawn", "missing.jpg", "no_images",
                                   "truncated.jpg", "face.jpg", "face.png", "other/face.jpg"},
                                  FACEPROBE_BATCH_BIN);
  EXPECT_EQ(r.status, 0);
  const std::vector<TsvRow> rows = tsv_rows(r.out);
  ASSERT_EQ(rows.size(), 6u) << r.out;
  const std::vector<std::string> lines = lines_of(r.out);
  // Every field after the status empty, the quality columns too.
  EXPECT_EQ(lines[1], "missing.jpg\tERROR: IMAGE NOT FOUND" + std::string(30, '\t'));
  EXPECT_EQ(rows[1].at("status"), "ERROR: NO IMAGES IN FOLDER");
  EXPECT_EQ(rows[2].at("status"), "ERROR: IMAGE NOT FOUND");
  EXPECT_EQ(rows[3].at("status"), "ok");
  // face.png's normalised image would be face.jpg's: reported, not replaced.
  EXPECT_EQ(rows[4].at("status"), "ERROR: NORMALISED IMAGE NAME TAKEN");
  EXPECT_EQ(rows[4].at("message"), "face.jpg");
  EXPECT_NE(r.err.find("face.png is not analysed"), std::string::npos) << r.err;
  // other/face.jpg is analysed, but its picture would replace face.jpg's.
  EXPECT_EQ(rows[5].at("status"), "ok");
  EXPECT_NE(r.err.find("other/face.jpg is not drawn"), std::string::npos) << r.err;
  const cv::Mat drawn = cv::imread((dir / "drawn" / "face_annotated.jpg").string());
  const cv::Mat first = cv::imread((dir / "face_resize.jpg").string());
  const cv::Mat other = cv::imread((dir / "other" / "face_resize.jpg").string());
  ASSERT_FALSE(drawn.empty() || first.empty() || other.empty());
  EXPECT_LT(cv::norm(drawn, first, cv::NORM_L1), cv::norm(drawn, other, cv::NORM_L1));
}

TEST(Batch, ShardsSplitTheInputWithoutOverlap) {
  ScratchDir dir;
  link_data_files(dir.path());
  fs::create_directory(dir / "photos");
  std::multiset<std::string> all, sharded;
  for (int i = 0; i < 12; ++i) {
    const std::string name = "photos/p" + std::to_string(i) + ".jpg";
    write_file(dir / name, "not decodable");
    all.insert(name);
  }
  for (int k = 1; k <= 3; ++k) {
    const std::string shard = std::to_string(k) + "/3";
    const RunResult r = run_program(dir.path(), {"--shard", shard, "photos"}, FACEPROBE_BATCH_BIN);
    EXPECT_EQ(r.status, 0);
    const std::vector<TsvRow> rows = tsv_rows(r.out);
    EXPECT_FALSE(rows.empty()) << "part " << shard << " is empty";
    for (const TsvRow& row : rows) sharded.insert(row.at("path"));
  }
  EXPECT_EQ(sharded, all);
}

// Folders give their images sorted by path, without the normalised images
// of earlier runs; -r adds those of subfolders.
TEST(Batch, FoldersInOrderAndSubfoldersOnRequest) {
  ScratchDir dir;
  link_data_files(dir.path());
  fs::create_directories(dir / "photos" / "sub");
  for (const char* name : {"photos/b.jpg", "photos/a.png", "photos/a_resize.jpg",
                           "photos/notes.txt", "photos/sub/c.jpg"}) {
    write_file(dir / name, "not decodable");
  }
  const auto paths = [&](const std::vector<std::string>& args) {
    std::vector<std::string> listed;
    const RunResult r = run_program(dir.path(), args, FACEPROBE_BATCH_BIN);
    for (const TsvRow& row : tsv_rows(r.out)) listed.push_back(row.at("path"));
    return listed;
  };
  EXPECT_EQ(paths({"photos"}), (std::vector<std::string>{"photos/a.png", "photos/b.jpg"}));
  EXPECT_EQ(paths({"-r", "photos"}),
            (std::vector<std::string>{"photos/a.png", "photos/b.jpg", "photos/sub/c.jpg"}));
}

TEST(Batch, MissingOrBrokenDataFilesStopTheBatchFirst) {
  ScratchDir dir;
  fs::copy_file(test_photo("grace_hopper.jpg"), dir / "face.jpg");
  fs::create_directory(dir / "data");
  link_data_files(dir / "data", kCascade | kPredictor);
  RunResult r = run_program(dir.path(), {"--data", "data", "face.jpg"}, FACEPROBE_BATCH_BIN);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("data/candide3.txt"), std::string::npos) << r.err;
  write_file(dir / "data" / "candide3.txt", "v0: 1, 2, 3\n");
  r = run_program(dir.path(), {"--data", "data", "face.jpg"}, FACEPROBE_BATCH_BIN);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("missing or broken: Invalid file"), std::string::npos) << r.err;
  fs::remove(dir / "data" / "candide3.txt");
  link_data_files(dir / "data", kModel);
  r = run_program(dir.path(), {"--data", "data", "face.jpg"}, FACEPROBE_BATCH_BIN);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(dir / "data" / "face_resize.jpg"));
  EXPECT_TRUE(fs::exists(dir / "face_resize.jpg"));
}

TEST(Batch, OutputDirAnnotationsJsonAndSizeLimit) {
  ScratchDir dir;
  link_data_files(dir.path());
  fs::copy_file(test_photo("grace_hopper.jpg"), dir / "face.jpg");
  fs::create_directory(dir / "out");
  fs::create_directory(dir / "drawn");
  const RunResult r = run_program(
      dir.path(), {"--format", "jsonl", "--output-dir", "out", "--annotate", "drawn", "face.jpg"},
      FACEPROBE_BATCH_BIN);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("{\"path\":\"face.jpg\",\"status\":\"ok\",\"landmarks\":[[", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("\"normalised\":\"out/face_resize.jpg\","
                       "\"annotated\":\"drawn/face_annotated.jpg\"}\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(cv::imread((dir / "out" / "face_resize.jpg").string()).size(), cv::Size(570, 570));
  EXPECT_EQ(cv::imread((dir / "drawn" / "face_annotated.jpg").string()).size(), cv::Size(570, 570));
  EXPECT_FALSE(fs::exists(dir / "face_resize.jpg"));

  // 512 x 600 = 307200 pixels: refused from the header (JPEG, BMP) or once
  // decoded (TIFF), and nothing written.
  fs::remove_all(dir / "out");
  fs::create_directory(dir / "out");
  cv::imwrite((dir / "face.bmp").string(), read_photo("grace_hopper.jpg"));
  cv::imwrite((dir / "face.tiff").string(), read_photo("grace_hopper.jpg"));
  for (const char* photo : {"face.jpg", "face.bmp", "face.tiff"}) {
    const RunResult limited = run_program(
        dir.path(), {"--max-pixels", "307199", "--output-dir", "out", photo}, FACEPROBE_BATCH_BIN);
    const std::vector<TsvRow> rows = tsv_rows(limited.out);
    ASSERT_EQ(rows.size(), 1u) << limited.out;
    EXPECT_EQ(rows[0].at("status"), "ERROR: IMAGE TOO LARGE") << photo;
    EXPECT_TRUE(fs::is_empty(dir / "out")) << photo;
  }
  const RunResult at_limit =
      run_program(dir.path(), {"--max-pixels", "307200", "--output-dir", "out", "face.tiff"},
                  FACEPROBE_BATCH_BIN);
  EXPECT_EQ(tsv_rows(at_limit.out).at(0).at("status"), "ok") << at_limit.out;
}

// Starts faceprobe-batch in `dir` with standard input and output on `in`
// and `out`. Descriptors the test made with O_CLOEXEC do not reach it.
pid_t start_batch(const fs::path& dir, std::vector<const char*> args, int in, int out) {
  args.insert(args.begin(), FACEPROBE_BATCH_BIN);
  args.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (dup2(in, 0) == 0 && dup2(out, 1) == 1 && chdir(dir.c_str()) == 0) {
      execv(FACEPROBE_BATCH_BIN, const_cast<char* const*>(args.data()));
    }
    _exit(127);
  }
  return child;
}

// A caller keeps the batch open: the result of a path written to standard
// input comes back before standard input is closed, and the same photo asked
// for again is analysed again. Without the header row, as for appending, the
// first line out is the first photo's.
TEST(Batch, StandardInputIsAnsweredAsItArrives) {
  ScratchDir dir;
  link_data_files(dir.path());
  int to_child[2], from_child[2];
  ASSERT_EQ(pipe2(to_child, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(from_child, O_CLOEXEC), 0);
  const pid_t child = start_batch(dir.path(), {"--jobs", "1", "--no-header", "-"}, to_child[0], from_child[1]);
  close(to_child[0]);
  close(from_child[1]);
  fs::copy_file(test_photo("grace_hopper.jpg"), dir / "face.jpg");
  const auto ask = [&](const std::string& path) {
    const std::string request = path + "\n";
    std::string answer;
    if (write(to_child[1], request.data(), request.size()) !=
        static_cast<ssize_t>(request.size())) {
      return answer;
    }
    char c;
    pollfd ready{from_child[0], POLLIN, 0};
    while (poll(&ready, 1, 60000) == 1 && read(from_child[0], &c, 1) == 1 && c != '\n') {
      answer += c;
    }
    return answer;
  };
  const std::string first = ask("face.jpg");
  const std::string again = ask("./face.jpg");
  close(to_child[1]);  // only now does the input end
  int status = 0;
  waitpid(child, &status, 0);
  close(from_child[0]);
  const std::vector<std::string> fields = tsv_fields(first), repeated = tsv_fields(again);
  ASSERT_EQ(fields.size(), 32u) << first;
  ASSERT_EQ(repeated.size(), 32u) << again;
  EXPECT_EQ(fields[0], "face.jpg");
  EXPECT_EQ(fields[1], "ok") << first;
  EXPECT_EQ(repeated[0], "./face.jpg");
  EXPECT_EQ(repeated[6], "./face_resize.jpg");
  EXPECT_EQ(repeated[7], fields[7]);  // the record
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Once standard output fails nobody gets the results: the batch ends with
// status 1 at once, without waiting for an input that is still open.
TEST(Batch, FailingStandardOutputEndsTheBatch) {
  ScratchDir dir;
  link_data_files(dir.path());
  int to_child[2];
  ASSERT_EQ(pipe2(to_child, O_CLOEXEC), 0);
  const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  const pid_t child = start_batch(dir.path(), {"missing.jpg", "-"}, to_child[0], full);
  close(to_child[0]);
  close(full);
  int status = 0;
  pid_t ended = 0;
  for (int tenths = 0; tenths < 600 && ended == 0; ++tenths) {
    ended = waitpid(child, &status, WNOHANG);
    if (ended == 0) usleep(100000);
  }
  if (ended == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  close(to_child[1]);
  EXPECT_EQ(ended, child) << "still running with its input open";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

// A head turned 30 degrees to the subject's right (yaw -30): seen along the
// line of sight, its x axis points to the photo's right, shortened; y up; z,
// out of the face, to the photo's left. An unsolved pose draws no axes.
TEST(BatchParts, AnnotationDrawsTheLandmarksAndThePoseAxes) {
  AnalysisState state;
  state.landmark_count = kLandmarkCount;
  for (int i = 0; i < kLandmarkCount; ++i) state.landmarks[i] = {100 + i, 500};
  state.landmarks[27] = {285, 285};
  NamedPose pose;
  pose.solved = true;
  const double c = std::cos(CV_PI / 6), s = std::sin(CV_PI / 6);
  pose.head = cv::Matx33d(c, 0, -s, 0, 1, 0, s, 0, c);
  const cv::Mat white(kCanvasSide, kCanvasSide, CV_8UC3, cv::Scalar::all(255));
  const cv::Mat picture = annotate_face(white, state, pose);
  pose.solved = false;
  const cv::Mat bare = annotate_face(white, state, pose);

  // The axes, 120 canvas pixels long: x ends at (389, 285), y at (285, 165),
  // z at (225, 285).
  const cv::Point origin(285, 285);
  const cv::Vec3b yellow(0, 220, 255), red(0, 0, 255), green(0, 200, 0), blue(255, 0, 0);
  const cv::Vec3b none(255, 255, 255);
  const struct {
    cv::Point at;
    cv::Vec3b drawn, bare;
  } marks[] = {{{100, 500}, yellow, yellow},
               {origin + cv::Point(80, 0), red, none},
               {origin + cv::Point(0, -90), green, none},
               {origin + cv::Point(-40, 0), blue, none},
               {origin + cv::Point(40, 40), none, none}};
  for (const auto& mark : marks) {
    EXPECT_EQ(picture.at<cv::Vec3b>(mark.at), mark.drawn) << mark.at;
    EXPECT_EQ(bare.at<cv::Vec3b>(mark.at), mark.bare) << mark.at;
  }
}

// Little-endian bytes of `value`, `count` of them.
std::string le(uint32_t value, int count) {
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes += static_cast<char>(value >> (8 * i) & 0xFF);
  return bytes;
}

TEST(BatchParts, PixelsClaimedByImageHeaders) {
  ScratchDir dir;
  // OpenJPEG wants 32 pixels a side for its resolution levels.
  const cv::Mat small(43, 67, CV_8UC3, cv::Scalar(40, 120, 200));
  const struct {
    std::string name;
    std::vector<int> params;
    ImageFormat format;
  } written[] = {{"a.png", {}, ImageFormat::kPng},
                 {"a.jpg", {}, ImageFormat::kJpeg},
                 {"a.bmp", {}, ImageFormat::kBmp},
                 {"lossy.webp", {}, ImageFormat::kWebp},
                 {"lossless.webp", {cv::IMWRITE_WEBP_QUALITY, 101}, ImageFormat::kWebp},
                 {"a.tiff", {}, ImageFormat::kTiff},
                 {"a.ppm", {}, ImageFormat::kPnm},
                 {"a.pgm", {}, ImageFormat::kPnm},
                 {"a.pam", {}, ImageFormat::kPnm},
                 {"a.jp2", {}, ImageFormat::kJp2},
                 {"a.ras", {}, ImageFormat::kSunRaster},
                 {"a.hdr", {}, ImageFormat::kHdr},
                 {"a.pfm", {}, ImageFormat::kPfm},
                 {"progressive.jpg", {cv::IMWRITE_JPEG_PROGRESSIVE, 1}, ImageFormat::kJpeg}};
  for (const auto& w : written) {
    cv::Mat image = small;
    if (w.format == ImageFormat::kHdr || w.format == ImageFormat::kPfm) {
      small.convertTo(image, CV_32FC3, 1.0 / 255);
    }
    if (w.name == "a.pgm") cv::cvtColor(small, image, cv::COLOR_BGR2GRAY);
    ASSERT_TRUE(cv::imwrite((dir / w.name).string(), image, w.params)) << w.name;
    const ImageHeader header = read_image_header_file((dir / w.name).string());
    EXPECT_EQ(header.format, w.format) << w.name;
    EXPECT_EQ(header.pixels, 67 * 43) << w.name;
    // libjpeg's own progression: a scan of DC, then AC in bands.
    EXPECT_EQ(header.scans, w.name == "progressive.jpg" ? 10 : 0) << w.name;
  }

  const std::string jpeg = read_file(test_photo("grace_hopper.jpg"));
  const std::string riff = "RIFF" + le(100, 4) + "WEBP";
  const struct {
    const char* name;
    std::string bytes;
    int64_t pixels;
  } crafted[] = {
      {"fill.jpg", jpeg.substr(0, 2) + "\xFF\xFF" + jpeg.substr(2), 512 * 600},
      {"huge.jpg", huge_jpeg(jpeg), int64_t{65000} * 65000},
      {"cut.jpg", jpeg.substr(0, 40), -1},
      {"soi.jpg", "\xFF\xD8", -1},
      {"core.bmp", "BM" + std::string(12, '\0') + le(12, 4) + le(300, 2) + le(200, 2) + "xxxxxx",
       300 * 200},
      {"topdown.bmp",
       "BM" + std::string(12, '\0') + le(40, 4) + le(100, 4) + le(static_cast<uint32_t>(-50), 4),
       5000},
      {"canvas.webp", riff + "VP8X" + le(10, 4) + le(0, 4) + le(16383, 3) + le(16383, 3),
       int64_t{16384} * 16384},
      {"other.webp", riff + "ALPH" + std::string(18, '\0'), -1},
      {"bigtiff.tif",
       "II+" + std::string(1, '\0') + le(8, 2) + le(0, 2) + le(16, 4) + le(0, 4) + le(2, 4) +
           le(0, 4) + le(256, 2) + le(4, 2) + le(1, 4) + le(0, 4) + le(70000, 4) + le(0, 4) +
           le(257, 2) + le(3, 2) + le(1, 4) + le(0, 4) + le(3, 4) + le(0, 4),
       210000},
      {"lying.tif", "II*" + std::string(1, '\0') + le(1u << 30, 4), -1},
      {"comment.pgm", "P5\n# made by hand\n 640 # width\n480\n255\n", 640 * 480},
      {"a.pam", "P7\nWIDTH 300\nHEIGHT 200\nDEPTH 3\nMAXVAL 255\nENDHDR\n", 60000},
      {"codestream.j2k",
       std::string("\xFF\x4F\xFF\x51\x00\x2F\x00\x00", 8) + std::string("\x00\x00\x27\x10", 4) +
           std::string("\x00\x00\x13\x88", 4) + std::string("\x00\x00\x00\x10", 4) +
           std::string(4, '\0'),
       int64_t{9984} * 5000},
      {"looping.jp2", std::string("\0\0\0\x0CjP  \r\n\x87\n", 12) + std::string("\0\0\0\x04jp2h", 8),
       -1},
      {"a.hdr", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4000 +X 6000\n", 24000000},
      {"a.exr",
       std::string("\x76\x2F\x31\x01\x02\0\0\0", 8) + "channels" + std::string(1, '\0') +
           "chlist" + std::string(1, '\0') + le(1, 4) + std::string(1, '\0') + "dataWindow" +
           std::string(1, '\0') + "box2i" + std::string(1, '\0') + le(16, 4) + le(0, 4) + le(0, 4) +
           le(1999, 4) + le(999, 4) + std::string(1, '\0'),
       2000000},
      {"a.ras", std::string("\x59\xA6\x6A\x95\x00\x00\x01\x00\x00\x00\x02\x00", 12), 65536 * 2},
      {"text.png", "not a photo at all", -1},
  };
  for (const auto& c : crafted) {
    write_file(dir / c.name, c.bytes);
    EXPECT_EQ(claimed_pixels((dir / c.name).string()), c.pixels) << c.name;
  }
  // A progressive JPEG's scans are counted from its markers: 150 of them,
  // each with entropy-coded data holding stuffed and restart bytes.
  std::string scans = std::string("\xFF\xD8\xFF\xC2\x00\x0B\x08\x00\x10\x00\x10\x01\x01\x11\x00", 15);
  for (int i = 0; i < 150; ++i) {
    scans += std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00\x12\xFF\x00\x34\xFF\xD3\x56", 17);
    if (i % 50 == 0) scans += std::string("\xFF\xC4\x00\x04\xFF\xDA", 6);  // a table holding FF DA
  }
  const ImageHeader many = read_image_header(scans + "\xFF\xD9");
  EXPECT_EQ(many.pixels, 16 * 16);
  EXPECT_EQ(many.scans, 150);
  PhotoResult refused;
  EXPECT_TRUE(refused_from_header(many, PhotoLimits{}, refused));
  EXPECT_EQ(refused.status, "ERROR: IMAGE TOO LARGE");
  EXPECT_EQ(refused.payload, "a progressive JPEG of 150 scans; at most 100 are decoded");
  EXPECT_TRUE(refused_from_header(read_image_header("GIF89a"), PhotoLimits{1000, kWebFormats}, refused));
  EXPECT_EQ(refused.status, "ERROR: FORMAT NOT ACCEPTED");
  EXPECT_FALSE(refused_from_header(read_image_header_file((dir / "a.jpg").string()),
                                   PhotoLimits{5000, kWebFormats}, refused));
  EXPECT_EQ(claimed_pixels((dir / "missing.png").string()), -1);
}

TEST(BatchParts, AbsoluteKeysAreLexicallyNormal) {
  const fs::path working_directory = fs::current_path();
  for (const char* path : {"a", "a/b", "/a/b", "a/", "a/b/", "./a", "a/./b", "a/../b", "../a",
                           "a/..", "a/.", "a//b", "//a", "/", "...", "a/.b", "a./b", ".a", "/..",
                           "/./a", "a/b//", "a///b", "/a/b/../../c"}) {
    EXPECT_EQ(absolute_key(path), (working_directory / path).lexically_normal().string()) << path;
  }
}

TEST(BatchParts, EscapesAndOptions) {
  EXPECT_EQ(tsv_escape("a\tb\nc\\d\r"), "a\\tb\\nc\\\\d\\r");
  EXPECT_EQ(tsv_escape("\"quoted\".jpg"), "\\x22quoted\\x22.jpg");

  const struct {
    std::vector<const char*> argv;
    bool ok;
  } cases[] = {{{"x", "a.jpg"}, true},
               {{"x"}, false},
               {{"x", "--shard", "4/3", "a"}, false},
               {{"x", "--shard", "2/3", "a"}, true},
               {{"x", "--jobs", "0", "a"}, false},
               {{"x", "--format", "csv", "a"}, false},
               {{"x", "--jobs"}, false},
               {{"x", "-q", "a"}, false},
               {{"x", "--resume", "a"}, false},
               {{"x", "--output", "t.tsv", "--resume", "a"}, true}};
  for (const auto& c : cases) {
    BatchOptions options;
    std::string error;
    std::vector<char*> argv;
    for (const char* arg : c.argv) argv.push_back(const_cast<char*>(arg));
    EXPECT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), options, error), c.ok)
        << c.argv.size() << " " << error;
  }
}

}  // namespace

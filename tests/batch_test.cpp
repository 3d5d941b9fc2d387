// faceprobe-batch against faceprobe itself, and its handling of a batch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <sstream>

#include "batch/image_header.h"
#include "batch/options.h"
#include "batch/result_line.h"
#include "tests/support.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  if (!line.empty() && line.back() == '\t') fields.push_back("");
  return fields;
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
  return {"grace_hopper.jpg", "astronaut.png", "einstein.jpg", "text.jpg",
          "flat.png",         "faint.png",     "blurred.png",  "missing.jpg"};
}

TEST(Batch, SameRecordsAndImagesAsFaceprobeWithAnyNumberOfJobs) {
  ScratchDir single, batch1, batch4;
  for (const ScratchDir* dir : {&single, &batch1, &batch4}) link_data_files(dir->path());
  const std::vector<std::string> names = write_cases(single.path());
  write_cases(batch1.path());
  write_cases(batch4.path());

  std::vector<std::string> args1 = {"--jobs", "1"}, args4 = {"--jobs", "4"};
  args1.insert(args1.end(), names.begin(), names.end());
  args4.insert(args4.end(), names.begin(), names.end());
  const RunResult one = run_program(batch1.path(), args1, FACEPROBE_BATCH_BIN);
  const RunResult four = run_program(batch4.path(), args4, FACEPROBE_BATCH_BIN);
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out, four.out);

  const std::vector<std::string> lines = lines_of(one.out);
  ASSERT_EQ(lines.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const RunResult alone = run_program(single.path(), {names[i]});
    const std::vector<std::string> fields = fields_of(lines[i]);
    ASSERT_EQ(fields.size(), 3u) << lines[i];
    EXPECT_EQ(fields[0], names[i]);
    const std::string expected = fields[1] == "ok" ? fields[2] : fields[1] + "\n";
    EXPECT_EQ(expected, alone.out) << names[i];
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
  const RunResult r = run_program(
      dir.path(), {"missing.jpg", "no_images", "truncated.jpg", "face.jpg", "face.png"},
      FACEPROBE_BATCH_BIN);
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0], "missing.jpg\tERROR: IMAGE NOT FOUND\t");
  EXPECT_EQ(lines[1], "no_images\tERROR: NO IMAGES IN FOLDER\t");
  EXPECT_EQ(lines[2], "truncated.jpg\tERROR: IMAGE NOT FOUND\t");
  EXPECT_EQ(fields_of(lines[3])[1], "ok");
  // face.png's normalised image would be face.jpg's: reported, not replaced.
  EXPECT_EQ(lines[4], "face.png\tERROR: NORMALISED IMAGE NAME TAKEN\tface.jpg");
  EXPECT_NE(r.err.find("face.png is not analysed"), std::string::npos) << r.err;
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
    for (const std::string& line : lines_of(r.out)) sharded.insert(fields_of(line)[0]);
  }
  EXPECT_EQ(sharded, all);
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
  const RunResult r =
      run_program(dir.path(),
                  {"--format", "jsonl", "--output-dir", "out", "--annotate", "drawn", "face.jpg"},
                  FACEPROBE_BATCH_BIN);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("{\"path\":\"face.jpg\",\"status\":\"ok\",\"landmarks\":[[", 0), 0u)
      << r.out;
  EXPECT_NE(r.out.find("\"normalised\":\"out/face_resize.jpg\"}\n"), std::string::npos);
  EXPECT_EQ(cv::imread((dir / "out" / "face_resize.jpg").string()).size(), cv::Size(570, 570));
  EXPECT_EQ(cv::imread((dir / "drawn" / "face_annotated.jpg").string()).size(),
            cv::Size(570, 570));
  EXPECT_FALSE(fs::exists(dir / "face_resize.jpg"));

  const RunResult limited =
      run_program(dir.path(), {"--max-pixels", "300000", "face.jpg"}, FACEPROBE_BATCH_BIN);
  EXPECT_EQ(limited.out, "face.jpg\tERROR: IMAGE TOO LARGE\t\n");
}

// A caller keeps the batch open: the result of a path written to standard
// input comes back before standard input is closed.
TEST(Batch, StandardInputIsAnsweredAsItArrives) {
  ScratchDir dir;
  link_data_files(dir.path());
  int to_child[2], from_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(from_child), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    close(to_child[1]);
    close(from_child[0]);
    if (chdir(dir.path().c_str()) == 0) {
      execl(FACEPROBE_BATCH_BIN, FACEPROBE_BATCH_BIN, "--jobs", "1", "-", (char*)nullptr);
    }
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  fs::copy_file(test_photo("grace_hopper.jpg"), dir / "face.jpg");
  const std::string request = "face.jpg\n";
  ASSERT_EQ(write(to_child[1], request.data(), request.size()),
            static_cast<ssize_t>(request.size()));
  std::string answer;
  char c;
  pollfd ready{from_child[0], POLLIN, 0};
  while (answer.find('\n') == std::string::npos && poll(&ready, 1, 60000) == 1 &&
         read(from_child[0], &c, 1) == 1) {
    answer += c;
  }
  close(to_child[1]);  // only now does the input end
  int status = 0;
  waitpid(child, &status, 0);
  close(from_child[0]);
  EXPECT_EQ(fields_of(answer.substr(0, answer.size() - 1)).at(1), "ok") << answer;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(BatchParts, EscapesHeadersAndOptions) {
  EXPECT_EQ(tsv_escape("a\tb\nc\\d\r"), "a\\tb\\nc\\\\d\\r");
  EXPECT_EQ(json_string("say \"hi\"\\\n\x01"), "\"say \\\"hi\\\"\\\\\\u000a\\u0001\"");
  EXPECT_EQ(claimed_pixels(test_photo("grace_hopper.jpg").string()), 512 * 600);
  EXPECT_EQ(claimed_pixels(test_photo("astronaut.png").string()), 512 * 512);
  EXPECT_EQ(claimed_pixels(MODEL_FILE), -1);

  const struct {
    std::vector<const char*> argv;
    bool ok;
  } cases[] = {{{"x", "a.jpg"}, true},          {{"x"}, false},
               {{"x", "--shard", "4/3", "a"}, false}, {{"x", "--shard", "2/3", "a"}, true},
               {{"x", "--jobs", "0", "a"}, false},    {{"x", "--format", "csv", "a"}, false},
               {{"x", "--jobs"}, false},              {{"x", "-q", "a"}, false}};
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

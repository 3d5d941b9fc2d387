// faceprobe-batch reports only what it did: folders it cannot write into
// stop it before the first photo, a file it failed to write shows on that
// photo's line and in the exit status, it never writes over a photo it was
// given, and odd inputs (FIFOs, CR LF lists, hidden temporaries, long names)
// get a line of their own at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "driver/stages_isa.h"
#include "tests/support.h"

namespace {

struct Folder {
  Folder() {
    link_data_files(dir.path());
    fs::copy_file(test_photo("grace_hopper.jpg"), dir / "face.jpg");
  }
  RunResult batch(const std::vector<std::string>& args, const std::string& input = "") const {
    if (input.empty()) return run_program(dir.path(), args, FACEPROBE_BATCH_BIN);
    write_file(dir / "input.txt", input);
    std::vector<std::string> with_input = {"-c", std::string("exec \"$0\" \"$@\" < input.txt"),
                                           FACEPROBE_BATCH_BIN};
    with_input.insert(with_input.end(), args.begin(), args.end());
    return run_program(dir.path(), with_input, "/bin/sh");
  }
  ScratchDir dir;
};

TEST(BatchTruth, OutputFoldersAreMadeOrRefusedBeforeAnyPhoto) {
  Folder f;
  const RunResult made = f.batch({"--output-dir", "new/deeper", "--annotate", "drawn/here", "face.jpg"});
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_TRUE(fs::exists(f.dir / "new" / "deeper" / "face_resize.jpg"));
  EXPECT_TRUE(fs::exists(f.dir / "drawn" / "here" / "face_annotated.jpg"));
  EXPECT_NE(made.err.find("1 photos, 1 ok; 0 files not written"), std::string::npos) << made.err;

  write_file(f.dir / "a_file", "x");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--output-dir", "a_file", "face.jpg"},
        std::vector<std::string>{"--annotate", "a_file/sub", "face.jpg"}}) {
    const RunResult refused = f.batch(args);
    EXPECT_EQ(refused.status, 2) << args[0];
    EXPECT_EQ(refused.out, "") << args[0];
    EXPECT_NE(refused.err.find("cannot write into the folder a_file"), std::string::npos)
        << refused.err;
  }
}

// The normalised image's name is taken by a folder: the record stands, the
// line says the file is missing, and the status is 1.
TEST(BatchTruth, AFailedWriteShowsOnItsLineAndInTheStatus) {
  Folder f;
  fs::create_directory(f.dir / "face_resize.jpg");
  const RunResult tsv = f.batch({"face.jpg"});
  EXPECT_EQ(tsv.status, 1);
  const std::vector<TsvRow> rows = tsv_rows(tsv.out);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("status"), "ok");
  EXPECT_FALSE(rows[0].at("record").empty());
  EXPECT_EQ(rows[0].at("normalised"), "");
  EXPECT_EQ(rows[0].at("message").rfind("cannot write face_resize.jpg", 0), 0u) << tsv.out;
  EXPECT_NE(tsv.err.find("1 files not written"), std::string::npos) << tsv.err;

  const RunResult jsonl = f.batch({"--format", "jsonl", "face.jpg"});
  EXPECT_EQ(jsonl.status, 1);
  const nlohmann::json line = nlohmann::json::parse(jsonl.out);
  EXPECT_EQ(line.at("status"), "ok");
  EXPECT_TRUE(line.at("normalised").is_null());
  EXPECT_NE(line.at("write_error").get<std::string>().find("face_resize.jpg"), std::string::npos);
}

// `X.jpg X_resize.jpg`: X's normalised image would replace the other photo.
TEST(BatchTruth, APhotoOfTheRunIsNeverWrittenOver) {
  for (const char* jobs : {"1", "4"}) {
    Folder f;
    fs::copy_file(test_photo("einstein.jpg"), f.dir / "face_resize.jpg");
    const std::string before = read_file(f.dir / "face_resize.jpg");
    const RunResult r = f.batch({"--jobs", jobs, "face.jpg", "face_resize.jpg"});
    const std::vector<TsvRow> rows = tsv_rows(r.out);
    ASSERT_EQ(rows.size(), 2u) << r.out;
    EXPECT_EQ(rows[0].at("status"), "ERROR: NORMALISED IMAGE NAME TAKEN") << jobs;
    EXPECT_EQ(rows[0].at("message"), "face_resize.jpg") << jobs;
    EXPECT_EQ(rows[1].at("path"), "face_resize.jpg");
    EXPECT_EQ(rows[1].at("status"), "ok");
    EXPECT_TRUE(read_file(f.dir / "face_resize.jpg") == before) << jobs;
  }
}

TEST(BatchTruth, OddInputsGetTheirLineAtOnce) {
  Folder f;
  // A FIFO nobody writes to would block a reader forever.
  ASSERT_EQ(mkfifo((f.dir / "pipe.jpg").c_str(), 0600), 0);
  const std::string long_name = std::string(236, 'n') + ".jpg";
  fs::copy_file(test_photo("grace_hopper.jpg"), f.dir / long_name);
  const RunResult r = f.batch({"pipe.jpg", long_name});
  const std::vector<TsvRow> rows = tsv_rows(r.out);
  ASSERT_EQ(rows.size(), 2u) << r.out << r.err;
  EXPECT_EQ(rows[0].at("status"), "ERROR: IMAGE NOT FOUND");
  EXPECT_EQ(rows[0].at("message"), "not a regular file");
  EXPECT_EQ(rows[1].at("path"), long_name);
  EXPECT_EQ(rows[1].at("status"), "ok");
  EXPECT_EQ(rows[1].at("message"), "");
  EXPECT_TRUE(fs::exists(f.dir / (std::string(236, 'n') + "_resize.jpg")));
  EXPECT_EQ(r.status, 0);

  // A list written with CR LF line ends.
  const RunResult crlf = f.batch({"-"}, "face.jpg\r\n" + long_name + "\r\n");
  const std::vector<TsvRow> listed = tsv_rows(crlf.out);
  ASSERT_EQ(listed.size(), 2u) << crlf.out;
  EXPECT_EQ(listed[0].at("path") + " " + listed[0].at("status"), "face.jpg ok");
  EXPECT_EQ(listed[1].at("path") + " " + listed[1].at("status"), long_name + " ok");
}

// A scan of a folder passes over hidden names (an interrupted write's
// temporary among them) and the batch's own outputs.
TEST(BatchTruth, FolderScansSkipHiddenNamesAndOwnOutputs) {
  Folder f;
  fs::create_directories(f.dir / "photos" / ".hidden");
  fs::copy_file(test_photo("grace_hopper.jpg"), f.dir / "photos" / "a.jpg");
  for (const char* name : {".a_resize.jpg-Xy12Zq.jpg", "a_annotated.jpg", "a_resize.jpg",
                           ".hidden/b.jpg"}) {
    fs::copy_file(test_photo("grace_hopper.jpg"), f.dir / "photos" / name);
  }
  const RunResult r = f.batch({"-r", "photos"});
  const std::vector<TsvRow> rows = tsv_rows(r.out);
  ASSERT_EQ(rows.size(), 1u) << r.out;
  EXPECT_EQ(rows[0].at("path") + " " + rows[0].at("status"), "photos/a.jpg ok");
}

TEST(CommandLines, HelpAndVersionOnStandardOutput) {
  const struct {
    std::string program;
    std::string arg;
    std::string expected;
  } cases[] = {
      {FACEPROBE_BATCH_BIN, "--help", "Exit status:"},
      {FACEPROBE_BATCH_BIN, "-h", "usage: faceprobe-batch"},
      // The copy of the stages this test loaded is the one the programs load.
      {FACEPROBE_BATCH_BIN, "--version", version_line("faceprobe-batch") + "\n"},
      {FACEPROBE_BIN, "--help", "usage: faceprobe PHOTO"},
      {FACEPROBE_BIN, "--version", version_line("faceprobe") + "\n"},
  };
  ScratchDir dir;
  for (const auto& c : cases) {
    const RunResult r = run_program(dir.path(), {c.arg}, c.program);
    EXPECT_EQ(r.status, 0) << c.program << " " << c.arg;
    EXPECT_NE(r.out.find(c.expected), std::string::npos) << c.program << " " << c.arg << r.out;
    EXPECT_EQ(r.err, "");
  }
}

}  // namespace

namespace {

TEST(BatchTruth, StandardInputLinesWithNulAndNulSeparatedLists) {
  Folder f;
  const RunResult nul = f.batch({"-"}, std::string("face.jpg\0junk\nface.jpg\n", 23));
  const std::vector<TsvRow> rows = tsv_rows(nul.out);
  ASSERT_EQ(rows.size(), 2u) << nul.out;
  EXPECT_EQ(rows[0].at("path"), "face.jpg\\\\0junk");
  EXPECT_EQ(rows[0].at("status"), "ERROR: IMAGE NOT FOUND");
  EXPECT_EQ(rows[0].at("message").rfind("the line holds a NUL", 0), 0u) << nul.out;
  EXPECT_EQ(rows[1].at("path") + " " + rows[1].at("status"), "face.jpg ok");

  fs::copy_file(test_photo("einstein.jpg"), f.dir / "new\nline.jpg");
  const RunResult zero = f.batch({"-0", "-"}, std::string("face.jpg\0new\nline.jpg\0", 22));
  const std::vector<TsvRow> listed = tsv_rows(zero.out);
  ASSERT_EQ(listed.size(), 2u) << zero.out;
  EXPECT_EQ(listed[0].at("path") + " " + listed[0].at("status"), "face.jpg ok");
  EXPECT_EQ(listed[1].at("path") + " " + listed[1].at("status"), "new\\nline.jpg ok");
}

TEST(BatchTruth, NamesThatAreNotUtf8StayExactAndParse) {
  Folder f;
  const std::string name = "\xff\xfe.jpg";
  fs::copy_file(test_photo("grace_hopper.jpg"), f.dir / name);
  const RunResult r = f.batch({"--format", "jsonl", name});
  const nlohmann::json line = nlohmann::json::parse(r.out);
  EXPECT_EQ(line.at("path"), "\xef\xbf\xbd\xef\xbf\xbd.jpg");
  EXPECT_EQ(line.at("path_base64"), "//4uanBn");
  EXPECT_EQ(line.at("normalised_base64"), "//5fcmVzaXplLmpwZw==");

  const std::string control = "bell\x07.jpg";
  fs::copy_file(test_photo("grace_hopper.jpg"), f.dir / control);
  const RunResult tsv = f.batch({control});
  const std::vector<TsvRow> rows = tsv_rows(tsv.out);
  ASSERT_EQ(rows.size(), 1u) << tsv.out;
  EXPECT_EQ(rows[0].at("path") + " " + rows[0].at("status"), "bell\\x07.jpg ok");
}

TEST(BatchTruth, OptionForms) {
  Folder f;
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"--format=jsonl", "face.jpg"}, 0},
      {{"--jobs=2", "--", "face.jpg"}, 0},
      {{"--jobs", "0", "face.jpg"}, 2},
      {{"--format", "csv", "face.jpg"}, 2},
      {{"--shard", "4/3", "face.jpg"}, 2},
      {{"-q", "face.jpg"}, 2},
      {{}, 2},
  };
  for (const auto& c : cases) {
    const RunResult r = f.batch(c.args);
    EXPECT_EQ(r.status, c.status) << (c.args.empty() ? "" : c.args[0]) << r.err;
    if (c.status == 2) {
      EXPECT_NE(r.err.find("usage: faceprobe-batch"), std::string::npos);
    }
  }
}

// An unreadable folder says so, with the system's reason; root reads every
// folder, so the batch runs as nobody here.
TEST(BatchTruth, UnreadableFoldersSaySo) {
  Folder f;
  fs::permissions(f.dir.path(), fs::perms::all);
  fs::create_directories(f.dir / "photos" / "locked");
  fs::copy_file(test_photo("grace_hopper.jpg"), f.dir / "photos" / "a.jpg");
  fs::permissions(f.dir / "photos", fs::perms::all);
  fs::permissions(f.dir / "photos" / "locked", fs::perms::none);
  const RunResult as_nobody =
      run_program(f.dir.path(),
                  {"--reuid=65534", "--regid=65534", "--clear-groups", FACEPROBE_BATCH_BIN,
                   "--output-dir", f.dir.path().string(), "-r", "photos", "photos/locked"},
                  "/usr/bin/setpriv");
  if (as_nobody.status == 127 || as_nobody.err.find("setpriv") != std::string::npos) {
    GTEST_SKIP() << "cannot run as another user here: " << as_nobody.err;
  }
  const std::vector<TsvRow> rows = tsv_rows(as_nobody.out);
  ASSERT_EQ(rows.size(), 3u) << as_nobody.out << as_nobody.err;
  EXPECT_EQ(rows[0].at("path") + " " + rows[0].at("status"), "photos/a.jpg ok");
  for (int i : {1, 2}) {
    EXPECT_EQ(rows[i].at("path") + " " + rows[i].at("status") + " " + rows[i].at("message"),
              "photos/locked ERROR: FOLDER NOT READABLE Permission denied");
  }
}

// SIGTERM: the photos in flight finish, their lines are whole, no temporary
// is left, and the status is 128 + 15.
TEST(BatchTruth, StopSignalFinishesWhatRunsAndLeavesNoTemporary) {
  Folder f;
  fs::create_directory(f.dir / "photos");
  for (int i = 0; i < 40; ++i) {
    fs::copy_file(test_photo("grace_hopper.jpg"), f.dir / "photos" / (std::to_string(i) + ".jpg"));
  }
  const RunResult r = run_program(
      f.dir.path(),
      {"-c", std::string("\"$0\" --no-header --jobs 2 photos > out.tsv 2> err.txt & pid=$!; "
                         "while [ ! -s out.tsv ]; do sleep 0.05; done; kill -TERM $pid; wait $pid"),
       FACEPROBE_BATCH_BIN},
      "/bin/sh");
  EXPECT_EQ(r.status, 143);
  const std::vector<std::string> lines = lines_of(read_file(f.dir / "out.tsv"));
  EXPECT_GE(lines.size(), 1u);
  EXPECT_LT(lines.size(), 40u);
  for (const std::string& line : lines) {
    EXPECT_EQ(tsv_fields(line).at(1), "ok") << line;
  }
  for (const auto& entry : fs::directory_iterator(f.dir / "photos")) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
  }
  EXPECT_NE(read_file(f.dir / "err.txt").find(std::to_string(lines.size()) + " photos"),
            std::string::npos);
}

}  // namespace

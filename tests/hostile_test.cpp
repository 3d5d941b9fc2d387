// Photos as a hostile upload service might receive them: damaged, lying
// about their size, oddly named. Every run must end in one of the defined
// outputs with status 1 or 255, in bounded time, leaving no partial image.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <regex>

#include "tests/support.h"

namespace {

uint32_t crc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string big_endian(uint32_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

std::string png_chunk(const std::string& type, const std::string& data) {
  return big_endian(static_cast<uint32_t>(data.size()), 4) + type + data +
         big_endian(crc32(type + data), 4);
}

// A well-formed PNG header that claims 100000 x 100000 pixels.
std::string huge_png() {
  const std::string header = big_endian(100000, 4) + big_endian(100000, 4) +
                             std::string("\x08\x02\x00\x00\x00", 5);
  // Ten zero bytes as a stored zlib block, so the file reads as a PNG.
  const std::string pixels = std::string("\x78\x01\x01\x0a\x00\xf5\xff", 7) +
                             std::string(10, '\0') + big_endian(0x000A0001, 4);
  return std::string("\x89PNG\r\n\x1a\n", 8) + png_chunk("IHDR", header) +
         png_chunk("IDAT", pixels) + png_chunk("IEND", "");
}

std::string flipped(std::string bytes, size_t from, size_t step, size_t count) {
  for (size_t i = from, n = 0; i < bytes.size() && n < count; i += step, ++n) bytes[i] ^= 0x5A;
  return bytes;
}

// A JPEG whose EXIF orientation (6: turn clockwise to view) stands the
// stored, sideways pixels upright.
std::string exif_rotated_jpeg(const cv::Mat& upright) {
  cv::Mat sideways;
  cv::rotate(upright, sideways, cv::ROTATE_90_COUNTERCLOCKWISE);
  std::vector<uchar> encoded;
  cv::imencode(".jpg", sideways, encoded);
  const std::string tiff = std::string("MM\x00\x2A\x00\x00\x00\x08", 8) +  // header, IFD at 8
                           std::string("\x00\x01", 2) +                    // one entry
                           std::string("\x01\x12\x00\x03\x00\x00\x00\x01\x00\x06\x00\x00", 12) +
                           std::string("\x00\x00\x00\x00", 4);             // no next IFD
  const std::string payload = std::string("Exif\x00\x00", 6) + tiff;
  const std::string app1 = std::string("\xFF\xE1", 2) +
                           big_endian(static_cast<uint32_t>(payload.size() + 2), 2) + payload;
  const std::string jpeg(encoded.begin(), encoded.end());
  return jpeg.substr(0, 2) + app1 + jpeg.substr(2);
}

struct HostileCase {
  std::string name;   // file name in the scratch folder
  std::string bytes;  // its contents
};

std::vector<HostileCase> hostile_cases() {
  const std::string jpeg = read_file(test_photo("grace_hopper.jpg"));
  const std::string png = read_file(test_photo("astronaut.png"));
  std::vector<HostileCase> cases = {
      {"zero_bytes.jpg", ""},
      {"huge_header.png", huge_png()},
      {"huge_header.jpg", huge_jpeg(jpeg)},
      {"header_flipped.jpg", flipped(jpeg, 2, 7, 6)},
      {"body_flipped.jpg", flipped(jpeg, 2000, 997, 40)},
      {"header_flipped.png", flipped(png, 12, 5, 4)},
      {"body_flipped.png", flipped(png, 5000, 4999, 60)},
  };
  for (size_t length : {size_t{2}, size_t{200}, size_t{2000}, jpeg.size() / 2, jpeg.size() - 2}) {
    cases.push_back({"truncated_" + std::to_string(length) + ".jpg", jpeg.substr(0, length)});
  }
  for (size_t length : {size_t{33}, size_t{5000}, png.size() / 2}) {
    cases.push_back({"truncated_" + std::to_string(length) + ".png", png.substr(0, length)});
  }
  return cases;
}

// True when `out` is one of the outputs the program defines.
bool defined_output(const std::string& out, int status) {
  static const std::regex record(R"(^(-?\d+,){135}-?\d+\|\|\d+\|\|(-?\d+\.\d{6},){2}-?\d+\.\d{6}$)");
  if (status == 1) return std::regex_match(out, record);
  if (status != 255) return false;
  return out == "ERROR: IMAGE NOT FOUND\n" || out == "ERROR: CASCADE NOT FOUND\n" ||
         out == "ERROR: FACE NOT FOUND\n" ||
         (out.rfind("ERROR: EXCEPTION THROWN!\n", 0) == 0 && out.size() > 26);
}

// Every normalised image in the folder is whole; no temporary is left.
void expect_only_whole_images(const ScratchDir& dir) {
  for (const std::string& name : dir.entries()) {
    EXPECT_NE(name[0], '.') << "left behind: " << name;
    if (name.size() > 11 && name.substr(name.size() - 11) == "_resize.jpg") {
      EXPECT_EQ(cv::imread((dir / name).string()).size(), cv::Size(570, 570)) << name;
    }
  }
}

TEST(Hostile, DamagedAndLyingFilesEndInADefinedOutput) {
  ScratchDir dir;
  link_data_files(dir.path());
  for (const HostileCase& c : hostile_cases()) {
    write_file(dir / c.name, c.bytes);
    const RunResult r = run_program(dir.path(), {c.name}, FACEPROBE_BIN, 60);
    EXPECT_TRUE(defined_output(r.out, r.status))
        << c.name << ": status " << r.status << "\n" << r.out << r.err;
    std::cout << "[ outcome  ] " << c.name << ": " << r.status << " "
              << r.out.substr(0, r.out.find('\n')).substr(0, 60) << "\n";
  }
  expect_only_whole_images(dir);
}

TEST(Hostile, FilesThatClaimAHugeSizeEndInTheTrapWithoutDecoding) {
  ScratchDir dir;
  link_data_files(dir.path());
  write_file(dir / "huge.png", huge_png());
  write_file(dir / "huge.jpg", huge_jpeg(read_file(test_photo("grace_hopper.jpg"))));
  for (const char* name : {"huge.png", "huge.jpg"}) {
    const RunResult r = run_program(dir.path(), {name}, FACEPROBE_BIN, 60);
    EXPECT_EQ(r.status, 255) << name;
    EXPECT_NE(r.out.find("CV_IO_MAX_IMAGE_PIXELS"), std::string::npos) << name << r.out;
  }
}

TEST(Hostile, OddPathsAreAnalysedLikeAnyOther) {
  ScratchDir dir;
  link_data_files(dir.path());
  fs::create_directories(dir / "my photos" / "été");
  const fs::path odd = dir / "my photos" / "été" / "grâce hopper.jpg";
  fs::copy_file(test_photo("grace_hopper.jpg"), odd);
  fs::create_symlink(odd, dir / "link.jpg");
  fs::create_directory(dir / "folder.jpg");

  fs::copy_file(test_photo("grace_hopper.jpg"), dir / "plain.jpg");
  const RunResult plain = run_program(dir.path(), {"plain.jpg"});
  const RunResult spaced = run_program(dir.path(), {odd.string()});
  const RunResult linked = run_program(dir.path(), {"link.jpg"});
  const RunResult folder = run_program(dir.path(), {"folder.jpg"});
  ASSERT_EQ(plain.status, 1);
  EXPECT_EQ(spaced.status, 1);
  EXPECT_EQ(spaced.out, plain.out);
  EXPECT_TRUE(fs::exists(dir / "my photos" / "été" / "grâce hopper_resize.jpg"));
  EXPECT_EQ(linked.out, plain.out);
  EXPECT_TRUE(fs::exists(dir / "link_resize.jpg"));  // beside the link, where the caller looks
  EXPECT_EQ(folder.out, "ERROR: IMAGE NOT FOUND\n");
  expect_only_whole_images(dir);
}

// cv::imread in colour mode turns the pixels as the EXIF orientation says,
// so a sideways-stored photo is analysed upright: the same record as for
// the same pixels stored upright.
TEST(Hostile, ExifOrientationIsAnalysedUpright) {
  ScratchDir dir;
  link_data_files(dir.path());
  const std::string rotated = exif_rotated_jpeg(read_photo("grace_hopper.jpg"));
  write_file(dir / "exif.jpg", rotated);
  const std::vector<uchar> bytes(rotated.begin(), rotated.end());
  cv::Mat stored = cv::imdecode(bytes, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
  ASSERT_LT(stored.rows, stored.cols) << "not stored sideways";  // the photo is 512x600
  cv::Mat upright;
  cv::rotate(stored, upright, cv::ROTATE_90_CLOCKWISE);
  ASSERT_TRUE(cv::imwrite((dir / "upright.png").string(), upright));

  const RunResult exif = run_program(dir.path(), {"exif.jpg"});
  const RunResult reference = run_program(dir.path(), {"upright.png"});
  ASSERT_EQ(reference.status, 1) << reference.out;
  EXPECT_EQ(exif.status, 1);
  EXPECT_EQ(exif.out, reference.out);
}

}  // namespace

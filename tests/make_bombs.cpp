// Writes hostile uploads for scripts/test-hostile-uploads.sh: for each format
// OpenCV decodes, a small file whose header claims a huge image, and two
// JPEGs meant to cost decoding work: a real progressive JPEG whose frame
// claims SIDE x SIDE pixels (default 10000), and one of 150 scans.
// Usage: make_bombs PHOTO OUT_DIR [SIDE]
#include <cstdint>
#include <fstream>
#include <iostream>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

namespace {

std::string be(uint32_t value, int count) {
  std::string bytes;
  for (int i = count - 1; i >= 0; --i) bytes += static_cast<char>(value >> (8 * i) & 0xFF);
  return bytes;
}

std::string le(uint32_t value, int count) {
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes += static_cast<char>(value >> (8 * i) & 0xFF);
  return bytes;
}

std::string zeros(size_t count) { return std::string(count, '\0'); }

// The photo as a progressive JPEG whose frame header claims width x height.
std::string lying_progressive(const cv::Mat& photo, uint16_t width, uint16_t height) {
  std::vector<unsigned char> encoded;
  cv::imencode(".jpg", photo, encoded, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
  std::string jpeg(encoded.begin(), encoded.end());
  for (size_t i = 2; i + 9 < jpeg.size();) {
    const int kind = static_cast<unsigned char>(jpeg[i + 1]);
    if (kind == 0xC2) {
      jpeg.replace(i + 5, 4, be(height, 2) + be(width, 2));
      break;
    }
    i += 2 +
         (static_cast<unsigned char>(jpeg[i + 2]) << 8 | static_cast<unsigned char>(jpeg[i + 3]));
  }
  return jpeg;
}

std::string many_scans(int scans) {
  std::string jpeg("\xFF\xD8\xFF\xC2\x00\x0B\x08\x10\x00\x10\x00\x01\x01\x11\x00", 15);
  for (int i = 0; i < scans; ++i)
    jpeg += std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00\x12\x34", 12);
  return jpeg + "\xFF\xD9";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::cerr << "usage: make_bombs PHOTO OUT_DIR [SIDE]\n";
    return 2;
  }
  const cv::Mat photo = cv::imread(argv[1]);
  const std::string dir = argv[2];
  const uint32_t side = 30000;
  const auto lie = static_cast<uint16_t>(argc == 4 ? std::stoi(argv[3]) : 10000);
  const std::vector<std::pair<std::string, std::string>> bombs = {
      {"radiance.hdr", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 30000 +X 30000\n" + zeros(4096)},
      {"huge.tiff", "II*" + zeros(1) + le(8, 4) + le(2, 2) + le(256, 2) + le(4, 2) + le(1, 4) +
                        le(16384, 4) + le(257, 2) + le(4, 2) + le(1, 4) + le(16384, 4) +
                        zeros(4096)},
      {"huge.jp2", std::string("\0\0\0\x0CjP  \r\n\x87\n", 12) + be(45, 4) + "jp2h" + be(22, 4) +
                       "ihdr" + be(side, 4) + be(side, 4) + be(3, 2) + "\x07\x07\x00\x00" +
                       zeros(4096)},
      {"huge.bmp", "BM" + zeros(12) + le(40, 4) + le(side, 4) + le(side, 4) + le(1, 2) + le(24, 2) +
                       zeros(4096)},
      {"huge.ppm", "P6\n30000 30000\n255\n" + zeros(4096)},
      {"huge.ras", "\x59\xA6\x6A\x95" + be(side, 4) + be(side, 4) + be(24, 4) + zeros(4096)},
      {"huge.pfm", "PF\n30000 30000\n-1\n" + zeros(4096)},
      {"huge.exr", std::string("\x76\x2F\x31\x01\x02\0\0\0", 8) + "dataWindow" + zeros(1) +
                       "box2i" + zeros(1) + le(16, 4) + le(0, 4) + le(0, 4) + le(side - 1, 4) +
                       le(side - 1, 4) + zeros(4096)},
      {"animated.gif", "GIF89a" + le(30000, 2) + le(30000, 2) + zeros(4096)},
      {"huge.png", std::string("\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR", 16) + be(60000, 4) +
                       be(60000, 4) + std::string("\x08\x02\x00\x00\x00", 5) + zeros(4096)},
      {"lying-progressive.jpg", lying_progressive(photo, lie, lie)},
      {"many-scans.jpg", many_scans(150)},
  };
  for (const auto& [name, bytes] : bombs) {
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    std::cout << name << "\n";
  }
  return 0;
}

#include "analysis/image_header.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr size_t kHeadSize = 30;  // the longest fixed header read: WebP's VP8X

uint32_t big_endian(const unsigned char* bytes, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

uint32_t little_endian(const unsigned char* bytes, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

bool starts_with(const unsigned char* bytes, const char* text) {
  return std::string(reinterpret_cast<const char*>(bytes), std::char_traits<char>::length(text)) ==
         text;
}

int64_t png_pixels(const unsigned char* head, size_t size) {
  // Signature, then the IHDR chunk: length, type, width, height.
  if (size < 24 || !starts_with(head + 12, "IHDR")) return -1;
  return int64_t{big_endian(head + 16, 4)} * big_endian(head + 20, 4);
}

// Windows bitmaps: the info header after the 14-byte file header holds width
// and height, 16 bits each in the old core header, 32 in every later one. A
// negative height means rows stored top down. Run-length coded bitmaps are
// small files that can claim any size, hence the check.
int64_t bmp_pixels(const unsigned char* head, size_t size) {
  if (size < 26) return -1;
  if (little_endian(head + 14, 4) == 12) {
    return int64_t{little_endian(head + 18, 2)} * little_endian(head + 20, 2);
  }
  const int32_t width = static_cast<int32_t>(little_endian(head + 18, 4));
  const int32_t height = static_cast<int32_t>(little_endian(head + 22, 4));
  return std::llabs(int64_t{width}) * std::llabs(int64_t{height});
}

// WebP: a RIFF container whose first chunk is a lossy (VP8), lossless (VP8L)
// or extended (VP8X) image, each with its own size fields.
int64_t webp_pixels(const unsigned char* head, size_t size) {
  if (size < kHeadSize) return -1;
  if (starts_with(head + 12, "VP8 ")) {
    // Frame tag (3 bytes), start code (3), then 14-bit width and height.
    return int64_t{little_endian(head + 26, 2) & 0x3FFF} * (little_endian(head + 28, 2) & 0x3FFF);
  }
  if (starts_with(head + 12, "VP8L")) {
    // Signature byte, then width - 1 and height - 1 in 14 bits each.
    const uint32_t bits = little_endian(head + 21, 4);
    return int64_t{(bits & 0x3FFF) + 1} * ((bits >> 14 & 0x3FFF) + 1);
  }
  if (starts_with(head + 12, "VP8X")) {
    // Flags (4 bytes), then canvas width - 1 and height - 1 in 24 bits each.
    return int64_t{little_endian(head + 24, 3) + 1} * (little_endian(head + 27, 3) + 1);
  }
  return -1;
}

bool is_frame_marker(int kind) {
  // SOF0..SOF15, less DHT (C4), JPG (C8) and DAC (CC), which share the range.
  return kind >= 0xC0 && kind <= 0xCF && kind != 0xC4 && kind != 0xC8 && kind != 0xCC;
}

// Walks the JPEG markers up to the frame header, which holds the height and
// the width. Any number of 0xFF fill bytes may come before a marker's code.
int64_t jpeg_pixels(std::istream& file) {
  file.seekg(2);
  for (;;) {
    int kind = file.get();
    if (kind != 0xFF) return -1;
    while (kind == 0xFF) kind = file.get();
    unsigned char length_bytes[2];
    if (kind == EOF || !file.read(reinterpret_cast<char*>(length_bytes), 2)) return -1;
    const uint32_t length = big_endian(length_bytes, 2);
    if (is_frame_marker(kind)) {
      unsigned char frame[5];  // precision, height, width
      if (!file.read(reinterpret_cast<char*>(frame), 5)) return -1;
      return int64_t{big_endian(frame + 1, 2)} * big_endian(frame + 3, 2);
    }
    if (length < 2) return -1;
    file.seekg(length - 2, std::ios::cur);
  }
}

}  // namespace

int64_t claimed_pixels(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  unsigned char head[kHeadSize] = {};
  file.read(reinterpret_cast<char*>(head), kHeadSize);
  const size_t size = static_cast<size_t>(file.gcount());
  if (size < 4) return -1;
  if (head[0] == 0x89 && starts_with(head + 1, "PNG")) return png_pixels(head, size);
  if (starts_with(head, "BM")) return bmp_pixels(head, size);
  if (size >= 16 && starts_with(head, "RIFF") && starts_with(head + 8, "WEBP")) {
    return webp_pixels(head, size);
  }
  if (head[0] == 0xFF && head[1] == 0xD8) {
    file.clear();
    return jpeg_pixels(file);
  }
  return -1;
}

#include "batch/image_header.h"

#include <fstream>
#include <vector>

namespace {

uint32_t big_endian(const unsigned char* bytes, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

int64_t png_pixels(const std::vector<unsigned char>& head) {
  // Signature, then the IHDR chunk: length, type, width, height.
  if (head.size() < 24 || std::string(head.begin() + 12, head.begin() + 16) != "IHDR") return -1;
  return int64_t{big_endian(&head[16], 4)} * big_endian(&head[20], 4);
}

// Walks the JPEG markers up to the frame header (SOF0..SOF15 less DHT, JPG
// and DAC), which holds the height and the width.
int64_t jpeg_pixels(std::ifstream& file) {
  unsigned char marker[4];
  file.seekg(2);
  while (file.read(reinterpret_cast<char*>(marker), 4)) {
    if (marker[0] != 0xFF) return -1;
    const unsigned char kind = marker[1];
    const uint32_t length = big_endian(&marker[2], 2);
    if (kind >= 0xC0 && kind <= 0xCF && kind != 0xC4 && kind != 0xC8 && kind != 0xCC) {
      unsigned char frame[5];
      if (!file.read(reinterpret_cast<char*>(frame), 5)) return -1;
      return int64_t{big_endian(&frame[1], 2)} * big_endian(&frame[3], 2);
    }
    if (length < 2) return -1;
    file.seekg(length - 2, std::ios::cur);
  }
  return -1;
}

}  // namespace

int64_t claimed_pixels(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<unsigned char> head(24);
  if (!file.read(reinterpret_cast<char*>(head.data()), head.size())) return -1;
  if (head[0] == 0x89 && head[1] == 'P' && head[2] == 'N' && head[3] == 'G') return png_pixels(head);
  if (head[0] == 0xFF && head[1] == 0xD8) return jpeg_pixels(file);
  return -1;
}

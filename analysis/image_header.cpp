#include "analysis/image_header.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

// Bounds-checked reads of the header bytes: 0 past the end.
struct Bytes {
  std::string_view data;

  bool has(size_t at, size_t count) const { return at <= data.size() && count <= data.size() - at; }
  uint64_t big(size_t at, int count) const {
    if (!has(at, count)) return 0;
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
  }
  uint64_t little(size_t at, int count) const {
    if (!has(at, count)) return 0;
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
      value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
  }
  bool is(size_t at, std::string_view text) const {
    return has(at, text.size()) && data.substr(at, text.size()) == text;
  }
};

ImageFormat sniff(const Bytes& b) {
  using F = ImageFormat;
  if (b.is(0, "\xFF\xD8\xFF")) return F::kJpeg;
  if (b.is(0, "\x89PNG\r\n\x1A\n")) return F::kPng;
  if (b.is(0, "RIFF") && b.is(8, "WEBP")) return F::kWebp;
  if (b.is(0, "BM")) return F::kBmp;
  if (b.is(0, std::string_view("II*\0", 4)) || b.is(0, std::string_view("MM\0*", 4)) ||
      b.is(0, std::string_view("II+\0", 4)) || b.is(0, std::string_view("MM\0+", 4))) {
    return F::kTiff;
  }
  if (b.has(0, 3) && b.data[0] == 'P' && b.data[1] >= '1' && b.data[1] <= '7' &&
      std::isspace(static_cast<unsigned char>(b.data[2]))) {
    return F::kPnm;
  }
  if (b.is(0, std::string_view("\0\0\0\x0CjP  \r\n\x87\n", 12)) || b.is(0, "\xFF\x4F\xFF\x51")) {
    return F::kJp2;
  }
  if (b.is(0, "\x59\xA6\x6A\x95")) return F::kSunRaster;
  if (b.is(0, "#?RADIANCE") || b.is(0, "#?RGBE")) return F::kHdr;
  if (b.is(0, "\x76\x2F\x31\x01")) return F::kExr;
  if ((b.is(0, "PF") || b.is(0, "Pf")) && b.has(2, 1) &&
      std::isspace(static_cast<unsigned char>(b.data[2]))) {
    return F::kPfm;
  }
  return F::kUnknown;
}

int64_t area(uint64_t width, uint64_t height) {
  // Past 2^31 a side no decoder goes; the product stays in range.
  if (width > 0x7FFFFFFF || height > 0x7FFFFFFF) return int64_t{0x7FFFFFFF} * 0x7FFFFFFF;
  return static_cast<int64_t>(width * height);
}

int64_t png_pixels(const Bytes& b) {
  // Signature, then the IHDR chunk: length, type, width, height.
  if (!b.is(12, "IHDR") || !b.has(16, 8)) return -1;
  return area(b.big(16, 4), b.big(20, 4));
}

// Windows bitmaps: the info header after the 14-byte file header holds width
// and height, 16 bits each in the old core header, 32 in every later one. A
// negative height means rows stored top down. Run-length coded bitmaps are
// small files that can claim any size, hence the check.
int64_t bmp_pixels(const Bytes& b) {
  if (!b.has(0, 26)) return -1;
  if (b.little(14, 4) == 12) return area(b.little(18, 2), b.little(20, 2));
  const int32_t width = static_cast<int32_t>(b.little(18, 4));
  const int32_t height = static_cast<int32_t>(b.little(22, 4));
  return area(std::llabs(int64_t{width}), std::llabs(int64_t{height}));
}

// WebP: a RIFF container whose first chunk is a lossy (VP8), lossless (VP8L)
// or extended (VP8X) image, each with its own size fields.
int64_t webp_pixels(const Bytes& b) {
  if (!b.has(0, 30)) return -1;
  if (b.is(12, "VP8 ")) {
    // Frame tag (3 bytes), start code (3), then 14-bit width and height.
    return area(b.little(26, 2) & 0x3FFF, b.little(28, 2) & 0x3FFF);
  }
  if (b.is(12, "VP8L")) {
    // Signature byte, then width - 1 and height - 1 in 14 bits each.
    const uint64_t bits = b.little(21, 4);
    return area((bits & 0x3FFF) + 1, (bits >> 14 & 0x3FFF) + 1);
  }
  if (b.is(12, "VP8X")) {
    // Flags (4 bytes), then canvas width - 1 and height - 1 in 24 bits each.
    return area(b.little(24, 3) + 1, b.little(27, 3) + 1);
  }
  return -1;
}

bool is_frame_marker(int kind) {
  // SOF0..SOF15, less DHT (C4), JPG (C8) and DAC (CC), which share the range.
  return kind >= 0xC0 && kind <= 0xCF && kind != 0xC4 && kind != 0xC8 && kind != 0xCC;
}

// A progressive JPEG's scans: its SOS markers, found by walking the marker
// segments and skipping each scan's entropy-coded data (in which 0xFF is
// followed by 0x00, a restart marker or more 0xFF fill).
int count_scans(const Bytes& b, size_t at) {
  int scans = 0;
  while (at + 4 <= b.data.size()) {
    const void* found = std::memchr(b.data.data() + at, 0xFF, b.data.size() - at);
    if (!found) break;
    at = static_cast<const char*>(found) - b.data.data();
    while (at < b.data.size() && static_cast<unsigned char>(b.data[at]) == 0xFF) ++at;
    if (at >= b.data.size()) break;
    const int kind = static_cast<unsigned char>(b.data[at++]);
    if (kind == 0x00 || (kind >= 0xD0 && kind <= 0xD7)) continue;  // data, restart
    if (kind == 0xD9) break;                                       // end of image
    if (kind == 0xDA) ++scans;
    at += static_cast<size_t>(b.big(at, 2));  // the segment; a scan's data follows
  }
  return scans;
}

// Walks the JPEG markers up to the frame header, which holds the height and
// the width. Any number of 0xFF fill bytes may come before a marker's code.
ImageHeader jpeg_header(const Bytes& b) {
  ImageHeader header{ImageFormat::kJpeg};
  for (size_t at = 2;;) {
    if (!b.has(at, 1) || static_cast<unsigned char>(b.data[at]) != 0xFF) return header;
    while (b.has(at, 1) && static_cast<unsigned char>(b.data[at]) == 0xFF) ++at;
    if (!b.has(at, 3)) return header;
    const int kind = static_cast<unsigned char>(b.data[at]);
    const uint64_t length = b.big(at + 1, 2);
    if (is_frame_marker(kind)) {
      if (!b.has(at + 3, 5)) return header;
      header.pixels = area(b.big(at + 6, 2), b.big(at + 4, 2));
      const bool progressive = kind == 0xC2 || kind == 0xC6 || kind == 0xCA || kind == 0xCE;
      if (progressive) header.scans = count_scans(b, at + 1 + length);
      return header;
    }
    if (length < 2) return header;
    at += 1 + length;
  }
}

// TIFF and BigTIFF: the first image file directory's width (tag 256) and
// length (257), each a SHORT, LONG or (BigTIFF) LONG8 held in the entry.
int64_t tiff_pixels(const Bytes& b) {
  const bool little = b.data[0] == 'I';
  const auto read = [&](size_t at, int count) {
    return little ? b.little(at, count) : b.big(at, count);
  };
  const bool big_tiff = read(2, 2) == 43;
  const int count_size = big_tiff ? 8 : 2, entry_size = big_tiff ? 20 : 12;
  const int value_at = big_tiff ? 12 : 8;
  const uint64_t directory = big_tiff ? read(8, 8) : read(4, 4);
  if (directory > b.data.size()) return -1;
  const uint64_t entries = read(directory, count_size);
  uint64_t width = 0, height = 0;
  for (uint64_t i = 0; i < entries && i < 4096; ++i) {
    const size_t entry = directory + count_size + i * entry_size;
    if (!b.has(entry, entry_size)) return -1;
    const uint64_t tag = read(entry, 2), type = read(entry + 2, 2);
    const int size = type == 3 ? 2 : type == 4 ? 4 : type == 16 ? 8 : 0;
    if ((tag == 256 || tag == 257) && size > 0) {
      (tag == 256 ? width : height) = read(entry + value_at, size);
    }
  }
  return width && height ? area(width, height) : -1;
}

// The whitespace-separated numbers of a text header, '#' comments skipped.
std::vector<uint64_t> header_numbers(const Bytes& b, size_t at, size_t wanted) {
  std::vector<uint64_t> numbers;
  const size_t end = std::min(b.data.size(), at + 4096);
  while (at < end && numbers.size() < wanted) {
    const char c = b.data[at];
    if (c == '#') {
      while (at < end && b.data[at] != '\n') ++at;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      uint64_t value = 0;
      while (at < end && std::isdigit(static_cast<unsigned char>(b.data[at])) && value < 1u << 31) {
        value = value * 10 + (b.data[at++] - '0');
      }
      numbers.push_back(value);
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++at;
    } else {
      break;
    }
  }
  return numbers;
}

// PBM, PGM, PPM and PFM: width and height after the magic; PAM: its WIDTH
// and HEIGHT lines.
int64_t pnm_pixels(const Bytes& b) {
  if (b.data[1] != '7') {
    const auto numbers = header_numbers(b, 2, 2);
    return numbers.size() == 2 ? area(numbers[0], numbers[1]) : -1;
  }
  const std::string_view head = b.data.substr(0, 4096);
  const size_t width = head.find("\nWIDTH "), height = head.find("\nHEIGHT ");
  if (width == std::string_view::npos || height == std::string_view::npos) return -1;
  const auto w = header_numbers(b, width + 7, 1), h = header_numbers(b, height + 8, 1);
  return w.size() == 1 && h.size() == 1 ? area(w[0], h[0]) : -1;
}

// JPEG 2000: the image header box (ihdr: height, width) inside the header
// superbox (jp2h), or a bare codestream's SIZ segment (the grid less its
// offset).
int64_t jp2_pixels(const Bytes& b) {
  if (b.is(0, "\xFF\x4F\xFF\x51")) {
    return area(b.big(8, 4) - std::min(b.big(8, 4), b.big(16, 4)),
                b.big(12, 4) - std::min(b.big(12, 4), b.big(20, 4)));
  }
  size_t at = 0, end = b.data.size();
  while (b.has(at, 8)) {
    uint64_t length = b.big(at, 4);
    size_t header = 8;
    if (length == 1) {
      length = b.big(at + 8, 8);
      header = 16;
    } else if (length == 0) {
      length = end - at;
    }
    if (length < header || length > end - at) return -1;
    if (b.is(at + 4, "jp2h")) {
      end = at + length;  // its boxes
      at += header;
      continue;
    }
    if (b.is(at + 4, "ihdr")) return area(b.big(at + header + 4, 4), b.big(at + header, 4));
    at += length;
  }
  return -1;
}

// Radiance: header lines up to an empty one, then "-Y height +X width" (or
// another orientation, the first number always the rows).
int64_t hdr_pixels(const Bytes& b) {
  const size_t blank = b.data.substr(0, 65536).find("\n\n");
  if (blank == std::string_view::npos) return -1;
  std::istringstream line(std::string(b.data.substr(blank + 2, 64)));
  std::string axis1, axis2;
  uint64_t rows = 0, columns = 0;
  if (!(line >> axis1 >> rows >> axis2 >> columns) || axis1.size() != 2 || axis2.size() != 2) {
    return -1;
  }
  return area(rows, columns);
}

// OpenEXR: the dataWindow attribute (box2i: xMin, yMin, xMax, yMax) among
// the header's name, type, size and value entries.
int64_t exr_pixels(const Bytes& b) {
  for (size_t at = 8; b.has(at, 1) && b.data[at] != '\0';) {
    const size_t name_end = b.data.find('\0', at);
    const size_t type_end =
        name_end == std::string_view::npos ? name_end : b.data.find('\0', name_end + 1);
    if (type_end == std::string_view::npos) return -1;
    const uint64_t size = b.little(type_end + 1, 4);
    const size_t value = type_end + 5;
    if (b.data.substr(at, name_end - at) == "dataWindow" && size == 16 && b.has(value, 16)) {
      const auto coordinate = [&](int i) {
        return static_cast<int32_t>(b.little(value + 4 * i, 4));
      };
      const int64_t width = int64_t{coordinate(2)} - coordinate(0) + 1;
      const int64_t height = int64_t{coordinate(3)} - coordinate(1) + 1;
      return width > 0 && height > 0 ? area(width, height) : -1;
    }
    if (!b.has(value, size)) return -1;
    at = value + size;
  }
  return -1;
}

}  // namespace

ImageHeader read_image_header(std::string_view bytes) {
  const Bytes b{bytes};
  ImageHeader header{sniff(b)};
  switch (header.format) {
    case ImageFormat::kJpeg:
      return jpeg_header(b);
    case ImageFormat::kPng:
      header.pixels = png_pixels(b);
      break;
    case ImageFormat::kWebp:
      header.pixels = webp_pixels(b);
      break;
    case ImageFormat::kBmp:
      header.pixels = bmp_pixels(b);
      break;
    case ImageFormat::kTiff:
      header.pixels = tiff_pixels(b);
      break;
    case ImageFormat::kPnm:
    case ImageFormat::kPfm:
      header.pixels = pnm_pixels(b);
      break;
    case ImageFormat::kJp2:
      header.pixels = jp2_pixels(b);
      break;
    case ImageFormat::kSunRaster:
      header.pixels = area(b.big(4, 4), b.big(8, 4));
      break;
    case ImageFormat::kHdr:
      header.pixels = hdr_pixels(b);
      break;
    case ImageFormat::kExr:
      header.pixels = exr_pixels(b);
      break;
    case ImageFormat::kUnknown:
      break;
  }
  return header;
}

ImageHeader read_image_header_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (fd < 0) return {};
  ImageHeader header;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    void* mapped = ::mmap(nullptr, info.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped != MAP_FAILED) {
      header = read_image_header(std::string_view(static_cast<const char*>(mapped), info.st_size));
      ::munmap(mapped, info.st_size);
    }
  }
  ::close(fd);
  return header;
}

int64_t claimed_pixels(const std::string& path) { return read_image_header_file(path).pixels; }

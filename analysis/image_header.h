// What an image file says of itself before anything decodes it: its format,
// from its first bytes, and the pixels its header claims.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The formats OpenCV decodes that are told apart here, by their first bytes.
enum class ImageFormat {
  kUnknown,
  kJpeg,
  kPng,
  kWebp,
  kBmp,
  kTiff,
  kPnm,  // PBM, PGM, PPM and PAM
  kJp2,  // JPEG 2000, boxed or a bare codestream
  kSunRaster,
  kHdr,  // Radiance
  kExr,
  kPfm,
};
inline constexpr int kFormatCount = 12;

// A set of formats, one bit each (1 << int(format)).
using FormatSet = uint32_t;
inline constexpr FormatSet format_bit(ImageFormat format) {
  return FormatSet{1} << static_cast<int>(format);
}
// Every format, the unknown too: no check at all.
inline constexpr FormatSet kAnyFormat = (FormatSet{1} << kFormatCount) - 1;
// What faceprobe-serve accepts unless told otherwise.
inline constexpr FormatSet kWebFormats =
    format_bit(ImageFormat::kJpeg) | format_bit(ImageFormat::kPng) | format_bit(ImageFormat::kWebp);

// A progressive JPEG of more scans is refused before decoding: each scan is
// a pass over the whole image. libjpeg's own progression writes 10 and
// optimising encoders about 20.
inline constexpr int kMaxJpegScans = 100;

struct ImageHeader {
  ImageFormat format = ImageFormat::kUnknown;
  int64_t pixels = -1;  // width x height; -1 where the header could not be read
  int scans = 0;        // a progressive JPEG's scans, counted from its markers
};

// The header of the file whose bytes (all of them, or at least the header's)
// are `bytes`.
ImageHeader read_image_header(std::string_view bytes);
// The same for a file; the unknown format where it cannot be read.
ImageHeader read_image_header_file(const std::string& path);

// The pixels a file's header claims; -1 when it is of no format read here,
// unreadable, or its header cannot be found.
int64_t claimed_pixels(const std::string& path);

// "jpeg", "png", ... as --formats names them; "unknown".
const char* format_name(ImageFormat format);
// "jpeg, png, webp": the names of a set.
std::string format_names(FormatSet formats);
// Parses a comma-separated list of format names (jpeg, jpg, png, webp, bmp,
// tiff, tif, pnm, ppm, pgm, pbm, pam, jp2, j2k, sunraster, ras, hdr, exr,
// pfm) into `formats`; false with a message for a name it does not know or a
// format this machine's OpenCV cannot decode.
bool parse_formats(const std::string& list, FormatSet& formats, std::string& error);

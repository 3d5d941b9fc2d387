// The names of the formats, as --formats takes them, and which of them
// this machine's OpenCV decodes.
#include "analysis/image_header.h"

#include <cstring>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <vector>

namespace {

struct Named {
  const char* name;
  ImageFormat format;
  const char* extension;  // for a sample that proves this OpenCV decodes it
};
const Named kNames[] = {
    {"jpeg", ImageFormat::kJpeg, ".jpg"},
    {"jpg", ImageFormat::kJpeg, ".jpg"},
    {"png", ImageFormat::kPng, ".png"},
    {"webp", ImageFormat::kWebp, ".webp"},
    {"bmp", ImageFormat::kBmp, ".bmp"},
    {"tiff", ImageFormat::kTiff, ".tiff"},
    {"tif", ImageFormat::kTiff, ".tiff"},
    {"pnm", ImageFormat::kPnm, ".ppm"},
    {"ppm", ImageFormat::kPnm, ".ppm"},
    {"pgm", ImageFormat::kPnm, ".ppm"},
    {"pbm", ImageFormat::kPnm, ".ppm"},
    {"pam", ImageFormat::kPnm, ".ppm"},
    {"jp2", ImageFormat::kJp2, ".jp2"},
    {"j2k", ImageFormat::kJp2, ".jp2"},
    {"sunraster", ImageFormat::kSunRaster, ".ras"},
    {"ras", ImageFormat::kSunRaster, ".ras"},
    {"hdr", ImageFormat::kHdr, ".hdr"},
    {"exr", ImageFormat::kExr, ".exr"},
    {"pfm", ImageFormat::kPfm, ".pfm"},
};

// Whether this machine's OpenCV writes and reads back a small image in the
// format: a build or a policy can leave a decoder out (OpenEXR's, for one).
bool opencv_decodes(const char* extension) {
  try {
    std::vector<unsigned char> encoded;
    const cv::Mat sample(64, 64, CV_8UC3, cv::Scalar(40, 120, 200));
    const bool floats = std::strcmp(extension, ".hdr") == 0 ||
                        std::strcmp(extension, ".exr") == 0 || std::strcmp(extension, ".pfm") == 0;
    cv::Mat source = sample;
    if (floats) sample.convertTo(source, CV_32FC3, 1.0 / 255);
    return cv::imencode(extension, source, encoded) &&
           !cv::imdecode(encoded, cv::IMREAD_COLOR).empty();
  } catch (const cv::Exception&) {
    return false;
  }
}

}  // namespace

const char* format_name(ImageFormat format) {
  for (const Named& named : kNames) {
    if (named.format == format) return named.name;
  }
  return "unknown";
}

std::string format_names(FormatSet formats) {
  std::string names;
  for (int i = 1; i < kFormatCount; ++i) {
    if (formats & (FormatSet{1} << i)) {
      names += (names.empty() ? "" : ", ") + std::string(format_name(static_cast<ImageFormat>(i)));
    }
  }
  return names;
}

bool parse_formats(const std::string& list, FormatSet& formats, std::string& error) {
  formats = 0;
  std::istringstream names(list);
  std::string name;
  while (std::getline(names, name, ',')) {
    const Named* found = nullptr;
    for (const Named& named : kNames) {
      if (name == named.name) found = &named;
    }
    if (!found) {
      error = "--formats: no image format called '" + name +
              "'; known: jpeg, png, webp, bmp, "
              "tiff, pnm, jp2, sunraster, hdr, exr, pfm";
      return false;
    }
    if (!opencv_decodes(found->extension)) {
      error = "--formats: this machine's OpenCV does not decode " + name;
      return false;
    }
    formats |= format_bit(found->format);
  }
  if (formats == 0) {
    error = "--formats: no format given";
    return false;
  }
  return true;
}

// The pixel count an image file claims in its header, read without decoding
// anything.
#pragma once

#include <cstdint>
#include <string>

// Width x height from the header of a PNG, JPEG, BMP or WebP file; -1 when
// the file is of another format, unreadable, or its header cannot be found.
int64_t claimed_pixels(const std::string& path);

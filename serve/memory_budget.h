// How much memory the analyses in flight may hold, and what one photo costs.
#pragma once

#include <cstdint>
#include <string>

#include "analysis/image_header.h"

// The most a photo of `pixels` holds at its peak while it is decoded and
// analysed, in bytes: 16 MiB and 20 bytes a pixel. Measured peaks are 12.9
// to 14.7 bytes a pixel from 1 to 48 megapixels (bench/README.md), the most
// for a progressive JPEG, whose coefficients are held whole; a progressive
// JPEG without chroma subsampling holds 3 bytes a pixel more.
int64_t photo_cost(int64_t pixels);

// The cost of the photo `header` describes, held to `max_pixels`: one whose
// header is refused costs no decoding; one whose size is unknown, the most a
// photo may cost.
int64_t upload_cost(const ImageHeader& header, int64_t max_pixels);

// Half the memory this process may use: its cgroup's limit (v2 memory.max,
// v1 memory.limit_in_bytes) where one is set, else the machine's.
int64_t default_memory_budget();

// "1.5 GiB": bytes for a message.
std::string memory_text(int64_t bytes);

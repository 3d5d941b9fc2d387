// The shape-model decoder on arbitrary bytes: no crash, no sanitizer report,
// no more memory held than a small multiple of the input, and whatever
// it accepts, dlib's own reader reads to the identical predictor.
#include <sanitizer/allocator_interface.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "face/shape_model.h"

namespace {

std::string serialised(const dlib::shape_predictor& predictor) {
  std::ostringstream out;
  dlib::serialize(predictor, out);
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  dlib::shape_predictor decoded;
  const size_t before = __sanitizer_get_current_allocated_bytes();
  const bool accepted = decode_shape_predictor(data, size, decoded);
  // Every item of the encoding takes at least 2 bytes and becomes at most
  // 48 bytes of tables.
  if (__sanitizer_get_current_allocated_bytes() > before + 32 * size + 4096) std::abort();
  if (!accepted) return 0;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  dlib::shape_predictor dlibs;
  dlib::deserialize(dlibs, in);  // an exception here is a finding too
  if (serialised(decoded) != serialised(dlibs)) std::abort();
  return 0;
}

// A decoder of dlib's serialisation of a shape predictor, several times
// faster than dlib's generic reader, that builds the identical predictor.
#pragma once

#include <dlib/image_processing/shape_predictor.h>

#include <cstddef>
#include <cstdint>
#include <functional>

// Called as decoding proceeds with how many leading bytes are done with, so
// that a caller holding the bytes in a mapping can let those pages go.
using ConsumedBytes = std::function<void(size_t)>;

// Decodes the shape predictor that `bytes` start with into `predictor`, the
// same fields in the same order as dlib's deserialize, numbers converted as
// dlib converts them. True when the result is what dlib's deserialize makes
// of the same bytes. False, leaving `predictor` untouched, for anything the
// decoder does not expect: a damaged or short file, lengths beyond the bytes
// that remain, the older text encoding of numbers. The caller then reads the
// bytes with dlib's own reader, for dlib's predictor or dlib's error.
// Allocates no more than a small multiple of `size`.
bool decode_shape_predictor(const unsigned char* bytes, size_t size,
                            dlib::shape_predictor& predictor,
                            const ConsumedBytes& consumed = nullptr);

// The tables of a predictor, which dlib keeps private, to read: its mean
// shape in the unit box (x0, y0, x1, ...), its cascade of forests, and the
// pixels each level of the cascade reads, as the landmark each is anchored
// to and the offset from it, both in the mean shape's unit box.
struct PredictorTables {
  const dlib::matrix<float, 0, 1>& initial_shape;
  const std::vector<std::vector<dlib::impl::regression_tree>>& forests;
  const std::vector<std::vector<unsigned long>>& anchors;
  const std::vector<std::vector<dlib::vector<float, 2>>>& deltas;
};

PredictorTables predictor_tables(const dlib::shape_predictor& predictor);

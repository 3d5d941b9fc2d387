#include "face/shape_model.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using dlib::impl::regression_tree;
using dlib::impl::split_feature;
using Column = dlib::matrix<float, 0, 1>;
using Point = dlib::vector<float, 2>;
using Forest = std::vector<regression_tree>;

// The fewest bytes each encoded item can take, to bound a length by the
// bytes that remain before anything is allocated for it.
constexpr size_t kIntBytes = 2;                      // length byte + one value byte
constexpr size_t kFloatBytes = 2 * kIntBytes;        // mantissa, exponent
constexpr size_t kMaxFloatBytes = 1 + 8 + 1 + 2;
constexpr size_t kColumnBytes = 2 * kIntBytes;       // rows, columns, no element
constexpr size_t kSplitBytes = 2 * kIntBytes + kFloatBytes;
constexpr size_t kTreeBytes = 2 * kIntBytes;         // two empty vectors
constexpr size_t kPointBytes = 2 * kFloatBytes;

// Let the caller drop the pages of a mapping every few megabytes.
constexpr size_t kReportEvery = 4 << 20;

uint64_t little_endian(const unsigned char* p, size_t size, size_t available) {
  uint64_t value = 0;
  if (available >= 8) {
    std::memcpy(&value, p, 8);
    return size == 8 ? value : value & ((uint64_t{1} << (8 * size)) - 1);
  }
  for (size_t i = size; i-- > 0;) value = (value << 8) | p[i];
  return value;
}

// dlib's float_details back to a float, as dlib converts it:
// ldexp(float(mantissa), exponent), with three exponents kept for infinities
// and not-a-number. A multiplication by an exact power of two rounds the same
// as ldexp and is much cheaper.
float to_float(int64_t mantissa, int16_t exponent) {
  if (exponent == dlib::float_details::is_inf) return std::numeric_limits<float>::infinity();
  if (exponent == dlib::float_details::is_ninf) return -std::numeric_limits<float>::infinity();
  if (exponent > dlib::float_details::is_ninf) return std::numeric_limits<float>::quiet_NaN();
  const float m = static_cast<float>(mantissa);
  if (exponent < -126 || exponent > 127) return std::ldexp(m, exponent);
  const uint32_t bits = static_cast<uint32_t>(exponent + 127) << 23;
  float scale;
  std::memcpy(&scale, &bits, sizeof scale);
  return m * scale;
}

// A cursor over the bytes. Every read checks what remains and returns false
// where dlib's reader would fail or where the decoder does not follow dlib.
class Reader {
 public:
  Reader(const unsigned char* bytes, size_t size, const ConsumedBytes& consumed)
      : begin_(bytes), p_(bytes), end_(bytes + size), consumed_(consumed) {}

  size_t remaining() const { return static_cast<size_t>(end_ - p_); }

  // Unsigned: a length byte (1 to 8; three bits of it reserved), then the
  // value, low byte first.
  bool unsigned_int(uint64_t& value) {
    if (p_ == end_) return false;
    const size_t size = *p_ & 0x8F;
    if (size == 0 || size > 8 || remaining() < size + 1) return false;
    value = little_endian(p_ + 1, size, remaining() - 1);
    p_ += size + 1;
    return true;
  }

  // Signed: the length byte's top bit is the sign, the value its magnitude.
  template <typename T>
  bool signed_int(T& value) {
    if (p_ == end_) return false;
    const unsigned char head = *p_;
    const size_t size = head & 0x0F;
    if (size == 0 || size > sizeof(T) || remaining() < size + 1) return false;
    using U = std::make_unsigned_t<T>;
    U magnitude = static_cast<U>(little_endian(p_ + 1, size, remaining() - 1));
    if (head & 0x80) magnitude = static_cast<U>(0u - magnitude);
    value = static_cast<T>(magnitude);
    p_ += size + 1;
    return true;
  }

  // A length that fits in the bytes left, each element taking at least
  // `element_bytes`.
  bool length(size_t& n, size_t element_bytes) {
    uint64_t value;
    if (!unsigned_int(value) || value > remaining() / element_bytes) return false;
    n = static_cast<size_t>(value);
    return true;
  }

  // The binary float encoding only; a length byte with any of the bits 0x70
  // set marks dlib's older text encoding.
  bool real(float& value) {
    if (p_ == end_ || (*p_ & 0x70) != 0) return false;
    int64_t mantissa;
    int16_t exponent;
    if (!signed_int(mantissa) || !signed_int(exponent)) return false;
    value = to_float(mantissa, exponent);
    return true;
  }

  // real() for when at least kMaxFloatBytes + 8 bytes remain, as 8-byte
  // loads read past the number. Nearly every exponent is one byte long; the
  // next number's place is computed on that guess, so that the cursor waits
  // on one load per number, and the guess is checked beside it.
  bool unchecked_real(float& value) {
    const unsigned char head = p_[0];
    const unsigned size = head & 0x0F;
    const unsigned char* e = p_ + 1 + size;
    if ((head & 0x70) != 0 || size == 0 || size > 8 || (e[0] & 0x0F) != 1) return real(value);
    uint64_t magnitude;
    std::memcpy(&magnitude, p_ + 1, 8);
    magnitude &= ~uint64_t{0} >> (64 - 8 * size);
    const uint64_t negative = head >> 7;
    const int64_t mantissa = static_cast<int64_t>((magnitude ^ (0 - negative)) + negative);
    const int exponent = (e[0] & 0x80) ? -static_cast<int>(e[1]) : e[1];
    value = to_float(mantissa, static_cast<int16_t>(exponent));
    p_ = e + 2;
    return true;
  }

  // A matrix's rows and columns: signed, both negated in dlib's newer
  // encoding.
  bool dimensions(int64_t& rows, int64_t& cols) {
    if (!signed_int(rows) || !signed_int(cols)) return false;
    const int64_t lowest = std::numeric_limits<int64_t>::min();
    if (rows == lowest || cols == lowest) return false;
    if (rows < 0 || cols < 0) {
      rows = -rows;
      cols = -cols;
    }
    return rows >= 0 && cols >= 0;
  }

  bool column(Column& out) {
    int64_t rows, cols;
    if (!dimensions(rows, cols) || cols != 1) return false;
    if (static_cast<uint64_t>(rows) > remaining() / kFloatBytes) return false;
    out.set_size(rows, 1);
    if (rows == 0) return true;
    float* values = &out(0);
    int64_t r = 0;
    // Nearly all of the file is leaf values: where the bytes surely suffice,
    // read them without a bound check per number.
    if (remaining() > 8 && static_cast<uint64_t>(rows) < (remaining() - 8) / kMaxFloatBytes) {
      for (; r < rows; ++r) {
        if (!unchecked_real(values[r])) return false;
      }
    }
    for (; r < rows; ++r) {
      if (!real(values[r])) return false;
    }
    return true;
  }

  // dlib::vector<float, 2>: x, then y.
  bool point(Point& out) { return real(out.x()) && real(out.y()); }

  bool split(split_feature& out) {
    uint64_t idx1, idx2;
    if (!unsigned_int(idx1) || !unsigned_int(idx2) || !real(out.thresh)) return false;
    out.idx1 = idx1;
    out.idx2 = idx2;
    return true;
  }

  bool tree(regression_tree& out) {
    size_t n;
    if (!length(n, kSplitBytes)) return false;
    out.splits.resize(n);
    for (split_feature& s : out.splits) {
      if (!split(s)) return false;
    }
    if (!length(n, kColumnBytes)) return false;
    out.leaf_values.resize(n);
    for (Column& leaf : out.leaf_values) {
      if (!column(leaf)) return false;
    }
    report();
    return true;
  }

  template <typename T, typename ReadOne>
  bool sequence(std::vector<T>& out, size_t element_bytes, ReadOne read_one) {
    size_t n;
    if (!length(n, element_bytes)) return false;
    out.resize(n);
    for (T& item : out) {
      if (!read_one(item)) return false;
    }
    return true;
  }

 private:
  void report() {
    const size_t done = static_cast<size_t>(p_ - begin_);
    if (consumed_ && done - reported_ >= kReportEvery) {
      consumed_(done);
      reported_ = done;
    }
  }

  const unsigned char* begin_;
  const unsigned char* p_;
  const unsigned char* end_;
  const ConsumedBytes& consumed_;
  size_t reported_ = 0;
};

// dlib::shape_predictor keeps its four tables private and fills them only in
// its deserialize. Naming a private member in an explicit instantiation is
// allowed, which lets the decoder fill the same tables in the same order,
// in place: building through the public constructor instead would copy the
// 65 MB of leaf values once more. A dlib whose predictor renames or retypes a
// table fails to compile here, and the tests compare dlib's serialisation of
// the predictor read both ways byte for byte.
template <typename Tag, typename Tag::type Member>
struct PrivateMember {
  friend typename Tag::type member(Tag) { return Member; }
};

#define FACEPROBE_PREDICTOR_TABLE(Tag, field, Type)            \
  struct Tag {                                                 \
    using type = Type dlib::shape_predictor::*;                \
    friend type member(Tag);                                   \
  };                                                           \
  template struct PrivateMember<Tag, &dlib::shape_predictor::field>

FACEPROBE_PREDICTOR_TABLE(InitialShape, initial_shape, Column);
FACEPROBE_PREDICTOR_TABLE(Forests, forests, std::vector<Forest>);
FACEPROBE_PREDICTOR_TABLE(Anchors, anchor_idx, std::vector<std::vector<unsigned long>>);
FACEPROBE_PREDICTOR_TABLE(Deltas, deltas, std::vector<std::vector<Point>>);
#undef FACEPROBE_PREDICTOR_TABLE

}  // namespace

bool decode_shape_predictor(const unsigned char* bytes, size_t size,
                            dlib::shape_predictor& predictor, const ConsumedBytes& consumed) {
  Reader in(bytes, size, consumed);
  int version;
  if (!in.signed_int(version) || version != 1) return false;

  dlib::shape_predictor decoded;
  const auto read_forest = [&](Forest& forest) {
    return in.sequence(forest, kTreeBytes, [&](regression_tree& t) { return in.tree(t); });
  };
  const auto read_anchors = [&](std::vector<unsigned long>& list) {
    return in.sequence(list, kIntBytes, [&](unsigned long& a) {
      uint64_t value;
      if (!in.unsigned_int(value)) return false;
      a = value;
      return true;
    });
  };
  const auto read_deltas = [&](std::vector<Point>& list) {
    return in.sequence(list, kPointBytes, [&](Point& p) { return in.point(p); });
  };
  if (!in.column(decoded.*member(InitialShape())) ||
      !in.sequence(decoded.*member(Forests()), kIntBytes, read_forest) ||
      !in.sequence(decoded.*member(Anchors()), kIntBytes, read_anchors) ||
      !in.sequence(decoded.*member(Deltas()), kIntBytes, read_deltas)) {
    return false;
  }
  predictor = std::move(decoded);
  return true;
}

PredictorTables predictor_tables(const dlib::shape_predictor& predictor) {
  return {predictor.*member(InitialShape()), predictor.*member(Forests()),
          predictor.*member(Anchors()), predictor.*member(Deltas())};
}

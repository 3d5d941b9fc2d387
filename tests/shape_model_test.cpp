// The shape-model decoder against dlib's own reader: the same predictor, byte
// for byte as dlib serialises it, or a refusal that hands the file to dlib.
#include <gtest/gtest.h>

#include <sstream>

#include "face/landmarks.h"
#include "face/shape_model.h"
#include "tests/support.h"

namespace {

std::string serialised(const dlib::shape_predictor& predictor) {
  std::ostringstream out;
  dlib::serialize(predictor, out);
  return out.str();
}

const unsigned char* bytes_of(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// A small predictor with every kind of field: 5 parts, 2 cascades of 2
// trees of depth 2, 6 feature pixels each; values of both signs, zeros,
// large and tiny magnitudes.
std::string small_model() {
  dlib::rand rnd(7);
  const auto value = [&](int k) {
    const float v = static_cast<float>(rnd.get_random_gaussian()) * (k % 3 == 0 ? 1e-3f : 50.f);
    return k % 7 == 0 ? 0.0f : v;
  };
  dlib::matrix<float, 0, 1> shape(10);
  for (long i = 0; i < shape.size(); ++i) shape(i) = value(static_cast<int>(i) + 1);
  std::vector<std::vector<dlib::impl::regression_tree>> forests(2);
  std::vector<std::vector<dlib::vector<float, 2>>> pixels(2);
  int k = 0;
  for (size_t c = 0; c < forests.size(); ++c) {
    forests[c].resize(2);
    for (auto& tree : forests[c]) {
      tree.splits.resize(3);
      for (auto& split : tree.splits) split = {rnd.get_random_32bit_number() % 6,
                                               rnd.get_random_32bit_number() % 6, value(++k)};
      tree.leaf_values.resize(4);
      for (auto& leaf : tree.leaf_values) {
        leaf.set_size(10);
        for (long i = 0; i < leaf.size(); ++i) leaf(i) = value(++k);
      }
    }
    for (int p = 0; p < 6; ++p) {
      const float x = value(++k);
      pixels[c].push_back({x, value(++k)});
    }
  }
  return serialised(dlib::shape_predictor(shape, forests, pixels));
}

// What dlib makes of the bytes from a stream: its predictor's bytes, or its
// exception's text.
std::string dlibs_outcome(const std::string& bytes) {
  std::istringstream in(bytes);
  try {
    dlib::shape_predictor predictor;
    dlib::deserialize(predictor, in);
    return serialised(predictor);
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

TEST(DecodeShapePredictor, ShippedModelIsDlibsPredictor) {
  const std::string model = read_file(PREDICTOR_FILE);
  dlib::shape_predictor decoded;
  ASSERT_TRUE(decode_shape_predictor(bytes_of(model), model.size(), decoded));
  dlib::shape_predictor dlibs;
  dlib::deserialize(PREDICTOR_FILE) >> dlibs;
  const std::string expected = serialised(dlibs);
  EXPECT_EQ(expected.size(), model.size());
  EXPECT_TRUE(serialised(decoded) == expected);

  dlib::shape_predictor from_file;
  read_shape_predictor(PREDICTOR_FILE, from_file);
  EXPECT_TRUE(serialised(from_file) == expected);
}

TEST(DecodeShapePredictor, SmallModelRoundTrips) {
  const std::string model = small_model();
  dlib::shape_predictor decoded;
  ASSERT_TRUE(decode_shape_predictor(bytes_of(model), model.size(), decoded));
  EXPECT_EQ(serialised(decoded), model);
  // Bytes after the predictor are not its business, as for dlib.
  const std::string longer = model + "trailing";
  ASSERT_TRUE(decode_shape_predictor(bytes_of(longer), longer.size(), decoded));
  EXPECT_EQ(serialised(decoded), model);
}

// Every cut of the file is refused, and the reader then answers in dlib's
// words, naming the file.
TEST(DecodeShapePredictor, EveryTruncationIsRefusedAndReadByDlib) {
  const std::string model = small_model();
  ScratchDir dir;
  const std::string path = (dir / "cut.dat").string();
  for (size_t length = 0; length < model.size(); ++length) {
    const std::string cut = model.substr(0, length);
    dlib::shape_predictor decoded;
    EXPECT_FALSE(decode_shape_predictor(bytes_of(cut), cut.size(), decoded)) << length;
    write_file(path, cut);
    try {
      dlib::shape_predictor read;
      read_shape_predictor(path, read);
      ADD_FAILURE() << "a cut at " << length << " was read";
    } catch (const dlib::serialization_error& e) {
      EXPECT_EQ(e.what(), dlibs_model_message(path)) << length;
    }
  }
}

// Each byte replaced in turn: whatever the decoder accepts, dlib reads to the
// identical predictor. A refusal is safe by construction, as dlib then reads
// the file; both kinds must occur, or the table proves little.
TEST(DecodeShapePredictor, DamagedBytesAcceptedOnlyWhereDlibAgrees) {
  const std::string model = small_model();
  int accepted = 0, refused = 0;
  for (size_t at = 0; at < model.size(); ++at) {
    const unsigned char original = static_cast<unsigned char>(model[at]);
    for (unsigned char replacement : {static_cast<unsigned char>(0x00),
                                      static_cast<unsigned char>(0xFF),
                                      static_cast<unsigned char>(original ^ 0x01),
                                      static_cast<unsigned char>(original ^ 0x80),
                                      static_cast<unsigned char>(original ^ 0x40)}) {
      if (replacement == original) continue;
      std::string damaged = model;
      damaged[at] = static_cast<char>(replacement);
      dlib::shape_predictor decoded;
      if (!decode_shape_predictor(bytes_of(damaged), damaged.size(), decoded)) {
        ++refused;
        continue;
      }
      ++accepted;
      EXPECT_EQ(serialised(decoded), dlibs_outcome(damaged))
          << "byte " << at << " set to " << int(replacement);
    }
  }
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 100);
}

// Damage to the real model: lengths too large for the file, a huge length,
// the older text encoding of a number, a changed number. The reader's outcome
// is dlib's: the same exception, or a predictor that serialises identically.
TEST(DecodeShapePredictor, DamagedRealModelGivesDlibsOutcome) {
  const std::string model = read_file(PREDICTOR_FILE);
  // Byte 0-1: version. 2-3 and 4-5: the initial shape's rows (-136) and
  // columns (-1). Then 136 numbers; then the number of cascades.
  size_t at = 6;
  for (int i = 0; i < 136; ++i) {
    const size_t mantissa = model[at] & 0x0F;
    at += 2 + mantissa + (model[at + 1 + mantissa] & 0x0F);
  }
  ASSERT_EQ(static_cast<unsigned char>(model[at]), 1);  // one byte: 15 cascades
  ASSERT_EQ(static_cast<unsigned char>(model[at + 1]), 15);
  const size_t cascades = at;

  std::string more_cascades = model;
  more_cascades[cascades + 1] = 16;
  std::string huge_count = model;
  huge_count.replace(cascades, 2, std::string("\x08\x00\x00\x00\x00\x00\x00\x00\x40", 9));
  std::string text_number = model;
  text_number[6] = '1';  // the first number of the initial shape
  std::string changed_number = model;
  changed_number[8] ^= 0x10;  // a mantissa byte of that number
  std::string two_columns = model;
  two_columns[5] = 2;

  ScratchDir dir;
  const std::pair<const char*, std::string> cases[] = {
      {"more_cascades", more_cascades}, {"huge_count", huge_count},
      {"text_number", text_number},     {"changed_number", changed_number},
      {"two_columns", two_columns},
  };
  for (const auto& [name, bytes] : cases) {
    const std::string path = (dir / name).string();
    write_file(path, bytes);
    std::string ours, dlibs;
    try {
      dlib::shape_predictor p;
      read_shape_predictor(path, p);
      ours = serialised(p);
    } catch (const std::exception& e) {
      ours = std::string("error: ") + e.what();
    }
    try {
      dlib::shape_predictor p;
      dlib::deserialize(path) >> p;
      dlibs = serialised(p);
    } catch (const std::exception& e) {
      dlibs = std::string("error: ") + e.what();
    }
    EXPECT_TRUE(ours == dlibs) << name << ": " << ours.substr(0, 300) << "\nvs\n"
                               << dlibs.substr(0, 300);
  }
}

}  // namespace

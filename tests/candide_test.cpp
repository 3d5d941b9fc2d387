#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "model/candide.h"
#include "tests/support.h"

namespace {

std::string good_line(int i) {
  return "v" + std::to_string(i) + ": " + std::to_string(i) + ".5, -" + std::to_string(i) +
         ".25, 0." + std::to_string(i);
}

std::string good_lines(int count, const char* end_of_last) {
  std::string text;
  for (int i = 0; i < count; ++i) text += good_line(i) + (i + 1 < count ? "\n" : end_of_last);
  return text;
}

struct ReadOutcome {
  AnalysisState state;
  std::string diagnostics;
  bool out_of_range = false;
};

ReadOutcome read_text(const std::string& text) {
  ScratchDir dir;
  write_file(dir / "model.txt", text);
  ReadOutcome outcome;
  std::ostringstream diagnostics;
  try {
    read_model_vertices(outcome.state, (dir / "model.txt").string(), diagnostics);
  } catch (const std::out_of_range&) {
    outcome.out_of_range = true;
  }
  outcome.diagnostics = diagnostics.str();
  return outcome;
}

void expect_vertex(const AnalysisState& state, int i, float x, float y, float z) {
  EXPECT_FLOAT_EQ(state.model_vertices[i].x, x) << "vertex " << i;
  EXPECT_FLOAT_EQ(state.model_vertices[i].y, y) << "vertex " << i;
  EXPECT_FLOAT_EQ(state.model_vertices[i].z, z) << "vertex " << i;
}

struct FileCase {
  const char* name;
  std::string text;
  std::string diagnostics;
  bool out_of_range;
  int vertices_from_file;  // leading vertices i that read as good_line(i)
};

class ReadModelVertices : public testing::TestWithParam<FileCase> {};

TEST_P(ReadModelVertices, DiagnosticsAndVertices) {
  const FileCase& c = GetParam();
  const ReadOutcome outcome = read_text(c.text);
  EXPECT_EQ(outcome.diagnostics, c.diagnostics);
  EXPECT_EQ(outcome.out_of_range, c.out_of_range);
  EXPECT_EQ(outcome.state.vertex_count, 113);
  for (int i = 0; i < c.vertices_from_file; ++i) {
    expect_vertex(outcome.state, i, i + 0.5f, -(i + 0.25f),
                  std::stof("0." + std::to_string(i)));
  }
}

const std::string kTwoInvalid = "Invalid file\nInvalid file\n";

INSTANTIATE_TEST_SUITE_P(
    Files, ReadModelVertices,
    testing::Values(
        FileCase{"full_with_final_break", good_lines(113, "\n"), "", false, 113},
        FileCase{"full_without_final_break", good_lines(113, ""), "", false, 113},
        FileCase{"longer_than_113", good_lines(150, "\n"), "", false, 113},
        // The read at the end of the file empties the line: no colon, no comma.
        FileCase{"short_with_final_break", good_lines(100, "\n"), kTwoInvalid, true, 100},
        FileCase{"empty", "", kTwoInvalid, true, 0},
        FileCase{"empty_line_in_the_middle", good_lines(10, "\n") + "\n" + good_lines(5, "\n"),
                 kTwoInvalid, true, 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadModelVertices, ShortFileWithoutFinalBreakRepeatsTheLastLine) {
  const ReadOutcome outcome = read_text(good_lines(100, ""));
  EXPECT_EQ(outcome.diagnostics, "");
  EXPECT_FALSE(outcome.out_of_range);
  for (int i = 100; i < 113; ++i) expect_vertex(outcome.state, i, 99.5f, -99.25f, 0.99f);
}

TEST(ReadModelVertices, CarriageReturnEndsTheLine) {
  std::string text;
  for (int i = 0; i < 113; ++i) text += good_line(i) + "\r\n";
  const ReadOutcome outcome = read_text(text);
  EXPECT_EQ(outcome.diagnostics, "");
  expect_vertex(outcome.state, 7, 7.5f, -7.25f, 0.7f);
}

struct LineCase {
  const char* name;
  std::string line;
  std::string diagnostics;
  bool out_of_range;
  float x, y, z;
};

class ModelLine : public testing::TestWithParam<LineCase> {};

// One odd first line followed by good ones: how the cutting rules read it.
TEST_P(ModelLine, CutsAsTheLineFormatSays) {
  const LineCase& c = GetParam();
  std::string text = c.line + "\n";
  for (int i = 1; i < 113; ++i) text += good_line(i) + "\n";
  const ReadOutcome outcome = read_text(text);
  EXPECT_EQ(outcome.diagnostics, c.diagnostics);
  EXPECT_EQ(outcome.out_of_range, c.out_of_range);
  if (!c.out_of_range) expect_vertex(outcome.state, 0, c.x, c.y, c.z);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ModelLine,
    testing::Values(
        LineCase{"well_formed", "a: 1.5, 2.5, 3.5", "", false, 1.5f, 2.5f, 3.5f},
        LineCase{"two_blanks", "a:  1.5,  2.5,  3.5", "", false, 1.5f, 2.5f, 3.5f},
        LineCase{"no_blank_after_colon", "label:1.5, 2.5, 3.5", "", false, 0.5f, 2.5f, 3.5f},
        // Negative length: x runs to the end of the line, read from two past
        // the colon.
        LineCase{"empty_x", "a:, 2.5, 3.5", "", false, 2.5f, 2.5f, 3.5f},
        LineCase{"not_numbers", "a: x, y, z", "", false, 0.0f, 0.0f, 0.0f},
        LineCase{"no_colon", "x1.5, 2.5, 3.5", "Invalid file\n", false, 1.5f, 2.5f, 3.5f},
        LineCase{"no_second_comma", "a: 1.5, 2.5 3.5", "Invalid file\n", false, 1.5f, 2.5f,
                 0.0f},
        LineCase{"no_comma", "a: 1.5", kTwoInvalid, false, 1.5f, 0.0f, 0.0f},
        LineCase{"ends_after_colon", "abc:", "Invalid file\n", true, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadModelVertices, MissingFileComplainsThenFailsToCut) {
  ScratchDir dir;
  const std::string path = (dir / "candide3.txt").string();
  AnalysisState state;
  std::ostringstream diagnostics;
  EXPECT_THROW(read_model_vertices(state, path, diagnostics), std::out_of_range);
  EXPECT_EQ(diagnostics.str(), "Failed opening " + path + " for reading!\n" + kTwoInvalid);
}

// The shipped model is the published vertex list, figure for figure.
TEST(ShippedModel, ReadsBackToThePublishedVertices) {
  AnalysisState state;
  std::ostringstream diagnostics;
  read_model_vertices(state, MODEL_FILE, diagnostics);
  EXPECT_EQ(diagnostics.str(), "");

  if (!fs::exists(VERTEX_LIST)) GTEST_SKIP() << "published vertex list not here: " << VERTEX_LIST;
  std::ifstream list(VERTEX_LIST);
  std::string line;
  int count = 0;
  while (std::getline(list, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    int index;
    std::string x, y, z;
    fields >> index >> x >> y >> z;
    ASSERT_EQ(index, count);
    EXPECT_EQ(state.model_vertices[index].x, std::stof(x)) << index;
    EXPECT_EQ(state.model_vertices[index].y, std::stof(y)) << index;
    EXPECT_EQ(state.model_vertices[index].z, std::stof(z)) << index;
    ++count;
  }
  EXPECT_EQ(count, 113);
}

}  // namespace

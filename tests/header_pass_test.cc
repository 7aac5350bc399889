#include "splitter/header_pass.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/map_fixture.h"
#include "tests/test_support.h"

namespace plysect {
namespace {

using testing::MapFixture;
using testing::make_fixture;
using testing::read_file;
using testing::run_plysect;
using testing::TempDir;
using testing::write_file;

std::string name_text(const InputName& name) {
  std::string text(name.begin(), name.end());
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

InputName input_name(const std::string& text) {
  InputName name;
  name.fill(' ');
  std::copy_n(text.begin(), std::min(text.size(), name.size()), name.begin());
  return name;
}

TEST(HeaderPass, LayerMapNamesFollowTheFirstFullStop) {
  struct Row {
    std::string input;
    std::int32_t layer;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"run.map", 3, "run-lay-3.map"},
      {"run.map", 12, "run-lay-12.map"},
      {"data/old.runs/run.map", 3, "data/old-lay-3.map"},  // first stop in a directory
      {"./run.map", 3, "-lay-3.map"},                       // leading stop: empty stem
      {"../run.map", 20, "-lay-20.map"},
      {"runmap", 3, "-lay-3.map"},  // no full stop: empty stem
      {std::string(98, 'x') + ".map", 1, std::string(98, 'x') + "-l"},  // cut to 100
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    EXPECT_EQ(name_text(layer_map_name(input_name(row.input), row.layer)), row.expected);
  }
}

// A free-format integer: right-aligned in 12 columns.
std::string field12(std::int32_t value) {
  const std::string digits = std::to_string(value);
  return std::string(12 - digits.size(), ' ') + digits;
}

// The console lines of the dialogue with `maps` layer prompts.
std::string dialogue_transcript(std::size_t maps) {
  std::string out = " \r\n Give total number of WQ layers :  \r\n Give  number of desired 2D map files :  \r\n";
  for (std::size_t i = 1; i <= maps; ++i) {
    out += " Give lay number for 2D map no" + std::string(i < 10 ? " " : "") + std::to_string(i) + " : ";
  }
  return out;
}

std::string report_transcript(const MapFixture& fixture, std::int32_t nlay) {
  std::string out = "  Total nr of segments " + field12(fixture.noseg) + "\r\n";
  out += "  Segment each layers  " + field12(fixture.noseg / nlay) + "\r\n";
  out += "  \r\n  \r\n  TOLVAN substances :\r\n \r\n";
  for (std::int32_t k = 1; k <= fixture.notot(); ++k) {
    const std::string number = std::to_string(k);
    std::string name = fixture.names[static_cast<std::size_t>(k - 1)];
    name.resize(20, ' ');
    out += std::string(3 - number.size(), ' ') + number + ": " + name + "\r\n";
  }
  return out;
}

std::string progress_line(std::int32_t day, std::int32_t hour) {
  return "  D :" + field12(day) + "   H :" + field12(hour) + "\r\n";
}

TEST(HeaderPass, CompleteRunWritesEveryRequestedLayer) {
  TempDir dir;
  const MapFixture fixture = make_fixture(2, 6, 3);
  write_file(dir.file("run.map"), fixture.bytes());

  // Three layers of two segments; layer 3 (the last segments) and layer 1.
  const auto run = run_plysect({"run.map"}, "3\n2\n3\n1\n", dir.path());
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  std::string expected = dialogue_transcript(2) + report_transcript(fixture, 3);
  for (int hour = 0; hour < 3; ++hour) expected += progress_line(0, hour);
  EXPECT_EQ(run.out, expected);
  EXPECT_EQ(read_file(dir.file("run-lay-3.map")), fixture.layer_map(3, 3, 3));
  EXPECT_EQ(read_file(dir.file("run-lay-1.map")), fixture.layer_map(3, 1, 3));
  EXPECT_FALSE(testing::file_exists(dir.file("run-lay-2.map")));
  EXPECT_EQ(read_file(dir.file("run.map")), fixture.bytes());  // the input is untouched
}

TEST(HeaderPass, TwoDigitLayerAndOutputsBesideAStoppedDirectory) {
  TempDir dir;
  std::filesystem::create_directories(dir.file("data/old.runs"));
  const MapFixture fixture = make_fixture(1, 24, 1);
  write_file(dir.file("data/old.runs/run.map"), fixture.bytes());
  const auto run = run_plysect({"data/old.runs/run.map"}, "12\n2\n12\n9\n", dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(dir.file("data/old-lay-12.map")), fixture.layer_map(12, 12, 1));
  EXPECT_EQ(read_file(dir.file("data/old-lay-9.map")), fixture.layer_map(12, 9, 1));
}

struct LimitCase {
  const char* what;
  std::int32_t notot;
  std::int32_t noseg;
  std::string message;  // empty: accepted
};

TEST(HeaderPass, SubstanceAndSegmentLimits) {
  const std::vector<LimitCase> cases = {
      {"notot 120 accepted", 120, 2, ""},
      {"notot 121 refused", 121, 2, " notot too large !\r\n"},
      {"notot negative refused", -1, 2, " notot too small !\r\n"},
      {"noseg 235000 accepted", 1, 235000, ""},
      {"noseg 235001 refused", 1, 235001, " noseg too large !\r\n"},
      {"noseg negative refused", 1, -2, " noseg too small !\r\n"},
      {"noseg not a multiple of the layers", 1, 3, " noseg not a multiple of Nr layers !\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    MapFixture fixture = make_fixture(0, 0, 0);
    std::string bytes = fixture.header().substr(0, 160) + testing::le32(static_cast<std::uint32_t>(c.notot)) +
                        testing::le32(static_cast<std::uint32_t>(c.noseg));
    if (c.notot > 0) bytes += std::string(20 * static_cast<std::size_t>(c.notot), 'n');
    write_file(dir.file("run.map"), bytes);
    const auto run = run_plysect({"run.map"}, "2\n1\n1\n", dir.path());
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(run.status, c.message.empty() ? 0 : 1);
    // A refused header leaves no layer map behind.
    EXPECT_EQ(testing::file_exists(dir.file("run-lay-1.map")), c.message.empty());
    // The totals are printed before the segment count is refused, never
    // before the substance count is.
    EXPECT_EQ(run.out.find("Total nr of segments") != std::string::npos, c.notot >= 0 && c.notot <= 120);
  }
}

TEST(HeaderPass, SameLayerTwiceFailsOnTheSecondOpen) {
  TempDir dir;
  const MapFixture fixture = make_fixture(1, 4, 2);
  write_file(dir.file("run.map"), fixture.bytes());
  const auto run = run_plysect({"run.map"}, "2\n2\n1\n1\n", dir.path());
  EXPECT_EQ(run.status, 30);
  EXPECT_NE(run.err.find("plysect: severe (30): open failure, unit 12, file " + dir.file("run-lay-1.map") + "\n"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(read_file(dir.file("run-lay-1.map")), fixture.layer_header(2, 1));
}

TEST(HeaderPass, ExistingLongerLayerMapIsCutToItsNewLength) {
  TempDir dir;
  const MapFixture fixture = make_fixture(1, 4, 1);
  write_file(dir.file("run.map"), fixture.bytes());
  write_file(dir.file("run-lay-2.map"), std::string(100000, 'o'));
  const auto run = run_plysect({"run.map"}, "2\n1\n2\n", dir.path());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(dir.file("run-lay-2.map")), fixture.layer_map(2, 2, 1));
}

TEST(HeaderPass, MissingOrShortInputIsAFatalDiagnostic) {
  struct Row {
    const char* what;
    const char* bytes;  // nullptr: no file
    std::size_t size;
    int status;
    std::string line;
  };
  const std::vector<Row> rows = {
      {"missing input", nullptr, 0, 29, "plysect: severe (29): file not found, unit 10, file "},
      {"empty input", "", 0, 24, "plysect: severe (24): end-of-file during read, unit 10, file "},
      {"cut in the titles", "title", 5, 24, "plysect: severe (24): end-of-file during read, unit 10, file "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    if (row.bytes != nullptr) write_file(dir.file("run.map"), std::string(row.bytes, row.size));
    const auto run = run_plysect({"run.map"}, "2\n1\n1\n", dir.path());
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.err.substr(0, run.err.find('\n') + 1), row.line + dir.file("run.map") + "\n");
    EXPECT_EQ(testing::file_exists(dir.file("run.map")), row.bytes != nullptr);
    EXPECT_FALSE(testing::file_exists(dir.file("run-lay-1.map")));
  }
}

TEST(HeaderPass, NoSubstancesNeedsOneMoreByteAfterTheCounts) {
  TempDir dir;
  MapFixture fixture = make_fixture(0, 4, 2);
  // Ends right after noseg: reading the empty name list meets the end.
  write_file(dir.file("run.map"), fixture.header());
  auto run = run_plysect({"run.map"}, "2\n1\n2\n", dir.path());
  EXPECT_EQ(run.status, 24) << run.err;
  // With time blocks (each only itime) the run goes on normally.
  write_file(dir.file("run.map"), fixture.bytes());
  run = run_plysect({"run.map"}, "2\n1\n2\n", dir.path());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(read_file(dir.file("run-lay-2.map")), fixture.layer_map(2, 2, 2));
}

}  // namespace
}  // namespace plysect

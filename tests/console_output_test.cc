#include "console/console_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/test_support.h"

namespace plysect {
namespace {

using namespace std::string_view_literals;

std::string free_line(std::vector<Item> items) { return render_free_line(items); }

// Shows a blank as '_' so a failing row shows where the blanks are.
std::string visible(std::string text) {
  for (char& c : text) {
    if (c == ' ') c = '_';
  }
  return text;
}

struct FreeLineCase {
  const char* what;
  std::vector<Item> items;
  std::string shown;  // without the line end
};

TEST(ConsoleOutput, FreeFormatLinesOfTheTool) {
  const std::vector<FreeLineCase> cases = {
      {"usage line", {" Use: plysect <3D-map filename>"sv}, "  Use: plysect <3D-map filename>"},
      {"empty line", {}, " "},
      {"segment total 1000", {" Total nr of segments "sv, 1000}, "  Total nr of segments         1000"},
      {"segment total -5", {" Total nr of segments "sv, -5}, "  Total nr of segments           -5"},
      {"segments per layer", {" Segment each layers  "sv, 333}, "  Segment each layers           333"},
      {"single blank text", {" "sv}, "  "},
      {"substance head", {" TOLVAN substances :"sv}, "  TOLVAN substances :"},
      {"progress 3 7", {" D :"sv, 3, "  H :"sv, 7}, "  D :           3   H :           7"},
      {"progress -1 -1", {" D :"sv, -1, "  H :"sv, -1}, "  D :          -1   H :          -1"},
      {"integer 0", {0}, "           0"},
      {"integer max", {2147483647}, "  2147483647"},
      {"integer min", {-2147483647 - 1}, " -2147483648"},
      {"text joins text", {"ab"sv, "cd"sv}, " abcd"},
      {"text after integer", {1, "x"sv}, "           1 x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(visible(free_line(c.items)), visible(c.shown + "\r\n"));
  }
}

TEST(ConsoleOutput, FreeFormatLineWrapsAtEightyColumns) {
  // Six integers fill 72 columns; the seventh does not fit and begins a line.
  std::vector<Item> integers(7, Item{1});
  const std::string field = "           1";
  std::string six;
  for (int i = 0; i < 6; ++i) six += field;
  EXPECT_EQ(free_line(integers), six + "\r\n" + field + "\r\n");

  // A long text is carried on to lines that begin with a blank.
  const std::string long_text(100, 'x');
  EXPECT_EQ(free_line({std::string_view(long_text)}),
            " " + std::string(79, 'x') + "\r\n " + std::string(21, 'x') + "\r\n");
}

struct FieldCase {
  const char* what;
  std::vector<Field> layout;
  std::vector<Item> items;
  std::string shown;
};

TEST(ConsoleOutput, FieldLayoutsOfTheTool) {
  const Field per_map_text{FieldKind::text, 30};
  const std::vector<Field> per_map = {per_map_text, {FieldKind::integer, 2}, {FieldKind::text, 3}};
  const std::vector<Field> substance = {
      {FieldKind::integer, 3}, {FieldKind::natural_text}, {FieldKind::natural_text}};
  const auto salinity = "Salinity            "sv;
  const std::vector<FieldCase> cases = {
      {"layer-count prompt", {{FieldKind::text, 34}}, {" Give total number of WQ layers : "sv},
       " Give total number of WQ layers : "},
      {"map-count prompt", {{FieldKind::text, 40}}, {" Give  number of desired 2D map files : "sv},
       " Give  number of desired 2D map files : "},
      {"per-map prompt 1", per_map, {" Give lay number for 2D map no."sv, 1, ": "sv},
       " Give lay number for 2D map no 1 : "},
      {"per-map prompt 9", per_map, {" Give lay number for 2D map no."sv, 9, ": "sv},
       " Give lay number for 2D map no 9 : "},
      {"per-map prompt 10", per_map, {" Give lay number for 2D map no."sv, 10, ": "sv},
       " Give lay number for 2D map no10 : "},
      {"per-map prompt 20", per_map, {" Give lay number for 2D map no."sv, 20, ": "sv},
       " Give lay number for 2D map no20 : "},
      {"substance 1", substance, {1, ": "sv, salinity}, "  1: Salinity            "},
      {"substance 99", substance, {99, ": "sv, salinity}, " 99: Salinity            "},
      {"substance 100", substance, {100, ": "sv, salinity}, "100: Salinity            "},
      {"substance 120", substance, {120, ": "sv, salinity}, "120: Salinity            "},
      {"integer too wide", {{FieldKind::integer, 2}}, {100}, "**"},
      {"negative too wide", {{FieldKind::integer, 1}}, {-1}, "*"},
      {"text cut", {{FieldKind::text, 3}}, {"abcdef"sv}, "abc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(visible(render_fields(c.layout, c.items)), visible(c.shown));
  }
}

TEST(ConsoleOutput, LayerTagsAndFourthTitleLines) {
  struct Row {
    int layer;
    std::string tag;
    std::string title_start;  // followed by 33 blanks
  };
  const std::vector<Row> rows = {
      {0, "-lay-0", "Lay   0"},  {3, "-lay-3", "Lay   3"},   {9, "-lay-9", "Lay   9"},
      {10, "-lay-10", "Lay  10"}, {20, "-lay-20", "Lay  20"}, {-1, "-lay-*", "Lay  -1"},
      {-100, "-lay-*", "Lay ***"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.layer);
    const int digits = row.layer >= 10 ? 2 : 1;
    const std::size_t tag_length = digits == 2 ? 7 : 6;
    EXPECT_EQ(format_fixed_text({{FieldKind::text, 5}, {FieldKind::integer, digits}},
                                {"-lay-"sv, row.layer}, tag_length),
              row.tag);
    EXPECT_EQ(format_fixed_text({{FieldKind::text, 4}, {FieldKind::integer, 3}},
                                {"Lay "sv, row.layer}, 40),
              row.title_start + std::string(33, ' '));
  }
}

TEST(ConsoleOutput, RefusedWriteToStandardOutputIsErrorThirtyEight) {
  // /dev/full refuses every write with ENOSPC; the usage line is the first.
  const auto run = testing::run_command(
      {"sh", "-c", "exec \"$0\" >/dev/full", testing::plysect_binary()}, "");
  EXPECT_EQ(run.status, 38);
  EXPECT_EQ(run.err.substr(0, run.err.find('\n', run.err.find('\n') + 1) + 1),
            "plysect: No space left on device\n"
            "plysect: severe (38): error during write, unit -1, file CONOUT$\n");
}

}  // namespace
}  // namespace plysect

#include "splitter/dialogue.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace plysect {
namespace {

const std::string k_empty_line = " \r\n";
const std::string k_layers_prompt = " Give total number of WQ layers : ";
const std::string k_maps_prompt = " Give  number of desired 2D map files : ";

std::string layer_prompt(int i) {
  const std::string number = std::to_string(i);
  return " Give lay number for 2D map no" + std::string(2 - number.size(), ' ') + number + " : ";
}

// What the tool shows up to the first layer prompt.
std::string counts_dialogue() {
  return k_empty_line + k_layers_prompt + k_empty_line + k_maps_prompt;
}

// The dialogue with the prompts of maps 1 to `maps`.
std::string dialogue_to_map(int maps) {
  std::string out = counts_dialogue() + k_empty_line;
  for (int i = 1; i <= maps; ++i) out += layer_prompt(i);
  return out;
}

std::vector<std::string> files_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(Dialogue, PromptsAreExactlyTheirTexts) {
  EXPECT_EQ(k_layers_prompt.size(), 34u);
  EXPECT_EQ(k_maps_prompt.size(), 40u);
  EXPECT_EQ(layer_prompt(1), " Give lay number for 2D map no 1 : ");
  EXPECT_EQ(layer_prompt(10), " Give lay number for 2D map no10 : ");
}

// Each refusal: the prompts shown up to the refused answer, the message as the
// only bytes on standard error, status 1, and no file left behind.
TEST(Dialogue, RefusalsInTheirOrder) {
  struct Case {
    const char* what;
    std::string answers;
    std::string out;
    std::string err;
  };
  const std::string too_large = " Nr layers too large !\r\n";
  const std::string too_small = " Nr layers too small !\r\n";
  const std::string too_many_maps = " Nr maps too large !\r\n";
  const std::vector<Case> cases = {
      {"21 layers, judged after the map count", "21\n5\n", counts_dialogue(), too_large},
      {"0 layers", "0\n5\n", counts_dialogue(), too_small},
      {"-3 layers", "-3\n5\n", counts_dialogue(), too_small},
      {"no value for the layer count", ",\n5\n", counts_dialogue(), too_small},
      {"21 maps", "5\n21\n", counts_dialogue(), too_many_maps},
      {"21 layers before 21 maps", "21\n21\n", counts_dialogue(), too_large},
      {"0 layers before 21 maps", "0\n21\n", counts_dialogue(), too_small},
      {"layer 6 of 5 for map 2", "5\n3\n1\n6\n2\n", dialogue_to_map(2), too_large},
      {"layer 21 of 20", "20\n1\n21\n", dialogue_to_map(1), too_large},
      {"layer 0", "5\n2\n0\n", dialogue_to_map(1), too_small},
      {"layer -1", "5\n2\n3\n-1\n", dialogue_to_map(2), too_small},
      {"no value for a layer", "5\n2\n/\n", dialogue_to_map(1), too_small},
      {"map 10 of 10", "5\n10\n1\n2\n3\n4\n5\n1\n2\n3\n4\n6\n", dialogue_to_map(10), too_large},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    const auto run = testing::run_plysect({"run.map"}, c.answers, dir.path());
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(files_in(dir.path()).empty());
  }
}

// Accepted answers: the dialogue ends with the last layer prompt answered, and
// no refusal follows. (What comes after the dialogue is the header pass.)
TEST(Dialogue, AcceptedAnswers) {
  struct Case {
    const char* what;
    std::string answers;
    std::string out;
  };
  std::string twenty_layers;
  for (int i = 20; i >= 1; --i) twenty_layers += std::to_string(i) + "\n";
  const std::vector<Case> cases = {
      {"two maps", "20\n2\n20\n1\n", dialogue_to_map(2)},
      {"twenty maps", "20\n20\n" + twenty_layers, dialogue_to_map(20)},
      {"no map", "5\n0\n", dialogue_to_map(0)},
      {"a negative map count", "5\n-4\n", dialogue_to_map(0)},
      {"a slash for the map count", "5\n/\n", dialogue_to_map(0)},
      {"empty lines and CR LF bring no new prompt", "\n\n3\r\n \r\n1\r\n\t\n3\r\n", dialogue_to_map(1)},
      {"the rest of a line is discarded", "3 9 9\n1,7\n2/5\n", dialogue_to_map(1)},
      {"floats, repeat forms, parentheses", "4.9\n(2*1.9\n3*4\n", dialogue_to_map(1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    const auto run = testing::run_plysect({"run.map"}, c.answers, dir.path());
    EXPECT_EQ(run.out.substr(0, c.out.size()), c.out);
    EXPECT_EQ(run.out.find("Give", c.out.size()), std::string::npos);
    EXPECT_EQ(run.err.find(" Nr "), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace plysect

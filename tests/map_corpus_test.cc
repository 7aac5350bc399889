// The corpus of the map file fuzz target (fuzz/corpus/map), replayed through
// the real binary without the fuzzer. Each input, with each fixed set of
// dialogue answers, must end the run in the way worked out here from its
// bytes alone: a normal end, a refusal of a header count, or error 24 for a
// header cut short; never a signal or another status. After a normal end each
// layer map must read as a header followed by whole blocks, and hold exactly
// what a correct relay of the input gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tests/map_fixture.h"
#include "tests/test_support.h"

namespace plysect {
namespace {

using testing::le32;
using testing::read_file;
using testing::run_plysect;
using testing::TempDir;
using testing::write_file;

// The titles and the two counts; the names follow.
constexpr std::size_t k_counts_end = 168;
constexpr std::size_t k_name_length = 20;

// A fixed set of answers, as the fuzzer's harness feeds them.
struct Answers {
  std::string label;
  std::string text;
  std::int32_t nlay;
  std::vector<std::int32_t> layers;  // one per map, in map order
};

void PrintTo(const Answers& answers, std::ostream* out) { *out << answers.label; }

const std::vector<Answers> k_answer_sets = {
    // The harness's default: two layers, the last one first.
    {"TwoLayers", "2\n2\n2\n1\n", 2, {2, 1}},
    {"OneLayer", "1\n1\n1\n", 1, {1}},
};

std::int32_t le32_at(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  }
  return static_cast<std::int32_t>(value);
}

std::size_t header_size(std::int32_t notot) {
  return k_counts_end + k_name_length * static_cast<std::size_t>(notot);
}

std::size_t block_size(std::int32_t notot, std::int32_t segments) {
  return 4 + 4 * static_cast<std::size_t>(notot) * static_cast<std::size_t>(segments);
}

// How a correct run ends on `input` with `nlay` layers.
struct Outcome {
  int status = 0;
  std::string message;     // status 1: the termination message
  std::size_t blocks = 0;  // status 0: the complete blocks relayed
};

Outcome expected_outcome(std::string_view input, std::int32_t nlay) {
  if (input.size() < k_counts_end) return {24, "", 0};
  const std::int32_t notot = le32_at(input, 160);
  const std::int32_t noseg = le32_at(input, 164);
  if (notot > 120) return {1, " notot too large !", 0};
  if (notot < 0) return {1, " notot too small !", 0};
  // Reading the names asks for one more byte even when there are none.
  if (input.size() == k_counts_end || input.size() < header_size(notot)) return {24, "", 0};
  if (noseg > 235000) return {1, " noseg too large !", 0};
  if (noseg < 0) return {1, " noseg too small !", 0};
  if (noseg % nlay != 0) return {1, " noseg not a multiple of Nr layers !", 0};
  return {0, "", (input.size() - header_size(notot)) / block_size(notot, noseg)};
}

// The layer map of `layer` after relaying `blocks` blocks of `input`: its
// titles with the fourth naming the layer, the segments per layer in place of
// noseg, the names, then per block itime and the layer's run of segments.
std::string relayed_layer_map(std::string_view input, std::int32_t nlay, std::int32_t layer,
                              std::size_t blocks) {
  const std::int32_t notot = le32_at(input, 160);
  const std::int32_t nsegl = le32_at(input, 164) / nlay;
  char fourth[41];
  std::snprintf(fourth, sizeof fourth, "Lay %3d%33s", layer, "");
  std::string map(input.substr(0, 120));
  map += fourth;
  map += input.substr(160, 4);
  map += le32(static_cast<std::uint32_t>(nsegl));
  map += input.substr(k_counts_end, header_size(notot) - k_counts_end);
  const std::size_t slice = block_size(notot, nsegl) - 4;
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::size_t at = header_size(notot) + b * block_size(notot, nsegl * nlay);
    map += input.substr(at, 4);
    map += input.substr(at + 4 + static_cast<std::size_t>(layer - 1) * slice, slice);
  }
  return map;
}

// Reads a layer map knowing nothing of the run: a header with counts in
// range, then whole blocks of its own shape. Returns the number of blocks.
::testing::AssertionResult header_and_whole_blocks(std::string_view map, std::size_t& blocks) {
  if (map.size() < k_counts_end) {
    return ::testing::AssertionFailure() << "header cut short: " << map.size() << " bytes";
  }
  const std::int32_t notot = le32_at(map, 160);
  const std::int32_t nsegl = le32_at(map, 164);
  if (notot < 0 || notot > 120 || nsegl < 0 || nsegl > 235000) {
    return ::testing::AssertionFailure() << "counts out of range: " << notot << ", " << nsegl;
  }
  if (map.size() < header_size(notot)) {
    return ::testing::AssertionFailure() << "names cut short: " << map.size() << " bytes";
  }
  const std::size_t data = map.size() - header_size(notot);
  if (data % block_size(notot, nsegl) != 0) {
    return ::testing::AssertionFailure()
           << data << " bytes after the header are no whole number of "
           << block_size(notot, nsegl) << "-byte blocks";
  }
  blocks = data / block_size(notot, nsegl);
  return ::testing::AssertionSuccess();
}

// The progress lines of the first `blocks` blocks of `input`.
std::string progress_lines(std::string_view input, std::size_t blocks) {
  const std::int32_t notot = le32_at(input, 160);
  const std::int32_t noseg = le32_at(input, 164);
  std::string lines;
  for (std::size_t b = 0; b < blocks; ++b) {
    const std::int32_t itime = le32_at(input, header_size(notot) + b * block_size(notot, noseg));
    char line[64];
    std::snprintf(line, sizeof line, "  D :%12d   H :%12d\r\n", itime / 86400,
                  itime % 86400 / 3600);
    lines += line;
  }
  return lines;
}

std::string layer_map_name(std::int32_t layer) {
  return "in-lay-" + std::to_string(layer) + ".map";
}

std::set<std::string> files_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

std::vector<std::filesystem::path> corpus_files() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry :
       std::filesystem::directory_iterator(PLYSECT_SOURCE_DIR "/fuzz/corpus/map")) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void replay(const std::filesystem::path& file, const Answers& answers) {
  const std::string input = read_file(file.string());
  const Outcome expected = expected_outcome(input, answers.nlay);
  TempDir dir;
  write_file(dir.file("in.map"), input);
  const auto run = run_plysect({"in.map"}, answers.text, dir.path());
  ASSERT_EQ(run.status, expected.status) << run.err;

  std::set<std::string> expected_files{"in.map"};
  if (expected.status == 1) {
    EXPECT_EQ(run.err, expected.message + "\r\n");
  } else if (expected.status == 24) {
    const std::string path = std::filesystem::path(dir.file("in.map")).lexically_normal().string();
    EXPECT_TRUE(run.err.starts_with(
        "plysect: severe (24): end-of-file during read, unit 10, file " + path + "\n"))
        << run.err;
  } else {
    EXPECT_EQ(run.err, "");
    // Every block's progress line, and none before them.
    const std::string progress = progress_lines(input, expected.blocks);
    ASSERT_TRUE(run.out.ends_with(progress)) << run.out;
    const std::string before = run.out.substr(0, run.out.size() - progress.size());
    EXPECT_EQ(before.rfind("\r\n  D :"), std::string::npos) << run.out;
    for (const std::int32_t layer : answers.layers) {
      SCOPED_TRACE(layer_map_name(layer));
      expected_files.insert(layer_map_name(layer));
      const std::string map = read_file(dir.file(layer_map_name(layer)));
      std::size_t blocks = 0;
      ASSERT_TRUE(header_and_whole_blocks(map, blocks));
      EXPECT_EQ(blocks, expected.blocks);
      const std::string relayed = relayed_layer_map(input, answers.nlay, layer, expected.blocks);
      const auto differ = std::mismatch(map.begin(), map.end(), relayed.begin(), relayed.end());
      EXPECT_TRUE(map == relayed) << "first difference at byte " << (differ.first - map.begin())
                                  << " of " << map.size() << " (expected " << relayed.size() << ")";
    }
  }
  // A refusal or a header cut short leaves no layer map behind.
  EXPECT_EQ(files_in(dir.path()), expected_files);
}

class MapCorpus : public ::testing::TestWithParam<Answers> {};

TEST_P(MapCorpus, EveryInputEndsSoundlyAndRelaysWholeBlocks) {
  const auto files = corpus_files();
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    replay(file, GetParam());
  }
}

std::string answers_label(const ::testing::TestParamInfo<Answers>& info) {
  return info.param.label;
}

INSTANTIATE_TEST_SUITE_P(Answers, MapCorpus, ::testing::ValuesIn(k_answer_sets), answers_label);

}  // namespace
}  // namespace plysect

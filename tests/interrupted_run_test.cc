// A large run interrupted by console events at random points. Whatever the
// point, every layer map must hold a prefix of what a complete run writes:
// part of its header, or its header and whole blocks plus at most one block
// cut short, and the maps, the progress lines and the blocks must have been
// written strictly in the order of the run. The expected bytes come from the
// input file itself, read here independently of the tool's code.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/test_support.h"

namespace plysect {
namespace {

using testing::RunningCommand;
using testing::RunResult;
using testing::TempDir;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool k_sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool k_sanitized = true;
#else
constexpr bool k_sanitized = false;
#endif
#else
constexpr bool k_sanitized = false;
#endif

// 20 layers of 1500 segments, 5 substances: 600004 bytes per block, 300 MB
// in all; a fifth of it under the sanitizers, where making it takes ten times
// longer.
constexpr int k_layers = 20;
constexpr int k_segments_per_layer = 1500;
constexpr int k_substances = 5;
constexpr int k_blocks = k_sanitized ? 100 : 500;
// The maps asked for, out of order, with both ends and two-digit layers.
constexpr std::int32_t k_map_layers[] = {3, 20, 1, 12, 7, 15};
constexpr int k_runs_per_event = 10;

using testing::EventCase;
using testing::k_events;

constexpr std::string_view k_first_prompt = " \r\n Give total number of WQ layers : ";
constexpr std::string_view k_progress_mark = "  D :";

std::string event_line(const char* word) {
  return std::string("plysect: error (200): program aborting due to ") + word + " event\n";
}

// A whole file mapped read-only; a missing file is told apart from an empty
// one.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) return;
    struct stat status {};
    if (::fstat(m_fd, &status) != 0 || status.st_size == 0) return;
    m_size = static_cast<std::size_t>(status.st_size);
    void* data = ::mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, m_fd, 0);
    if (data == MAP_FAILED) throw std::runtime_error("cannot map " + path);
    m_data = static_cast<const char*>(data);
  }
  ~MappedFile() {
    if (m_data != nullptr) ::munmap(const_cast<char*>(m_data), m_size);
    if (m_fd >= 0) ::close(m_fd);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool exists() const { return m_fd >= 0; }
  std::string_view bytes() const {
    return m_data == nullptr ? std::string_view() : std::string_view(m_data, m_size);
  }

 private:
  int m_fd = -1;
  const char* m_data = nullptr;
  std::size_t m_size = 0;
};

std::uint32_t le32_at(std::string_view bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
  }
  return value;
}

std::string le32(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (std::size_t i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

// The input as read straight from its bytes: 160 bytes of titles, notot,
// noseg, notot names of 20 bytes, then blocks of itime and notot * noseg
// values.
struct InputLayout {
  std::string_view file;
  std::uint32_t notot = 0;
  std::uint32_t noseg = 0;
  std::size_t header_size = 0;
  std::size_t block_size = 0;
  std::size_t blocks = 0;

  std::string_view block(std::size_t b) const {
    return file.substr(header_size + b * block_size, block_size);
  }
};

InputLayout read_input_layout(std::string_view file) {
  InputLayout input;
  input.file = file;
  input.notot = le32_at(file, 160);
  input.noseg = le32_at(file, 164);
  input.header_size = 168 + 20 * std::size_t{input.notot};
  input.block_size = 4 + 4 * std::size_t{input.notot} * input.noseg;
  input.blocks = (file.size() - input.header_size) / input.block_size;
  return input;
}

// What the layer map of one layer holds after a complete run.
struct ExpectedMap {
  const InputLayout* input = nullptr;
  std::string header;
  std::size_t values_offset = 0;  // of the layer's values in an input block
  std::size_t values_size = 0;

  std::size_t block_size() const { return 4 + values_size; }
};

ExpectedMap expected_map(const InputLayout& input, std::int32_t nlay, std::int32_t layer) {
  ExpectedMap map;
  map.input = &input;
  const std::uint32_t nsegl = input.noseg / static_cast<std::uint32_t>(nlay);
  char line4[41];
  std::snprintf(line4, sizeof line4, "Lay %3d%-33s", layer, "");
  map.header = std::string(input.file.substr(0, 120)) + std::string(line4, 40) +
               le32(input.notot) + le32(nsegl) +
               std::string(input.file.substr(168, 20 * std::size_t{input.notot}));
  map.values_size = 4 * std::size_t{input.notot} * nsegl;
  map.values_offset = 4 + static_cast<std::size_t>(layer - 1) * map.values_size;
  return map;
}

// How far a layer map got.
struct MapState {
  bool exists = false;
  std::size_t header_bytes = 0;
  std::size_t whole_blocks = 0;
  std::size_t partial_bytes = 0;  // of the block cut short at the end
};

// The offset of the first byte where `actual` differs from `expected`, or
// npos when `actual` is a prefix of `expected`.
std::size_t first_difference(std::string_view actual, std::string_view expected) {
  if (actual.size() > expected.size()) return expected.size();
  if (actual.empty()) return std::string_view::npos;
  // memcmp first: it is far quicker than a loop in a sanitized debug build.
  if (std::memcmp(actual.data(), expected.data(), actual.size()) == 0) {
    return std::string_view::npos;
  }
  const auto [a, e] = std::mismatch(actual.begin(), actual.end(), expected.begin());
  return a == actual.end() ? std::string_view::npos
                           : static_cast<std::size_t>(a - actual.begin());
}

// Reads a layer map against what a complete run writes; returns what is
// wrong, or "" when the file is a valid prefix. The state says how far the
// map got.
std::string read_layer_map(const ExpectedMap& map, const MappedFile& file, MapState& state) {
  state = MapState{};
  state.exists = file.exists();
  std::string_view bytes = file.bytes();
  const std::size_t header_part = std::min(bytes.size(), map.header.size());
  if (const auto at = first_difference(bytes.substr(0, header_part), map.header);
      at != std::string_view::npos) {
    return "header differs at byte " + std::to_string(at);
  }
  state.header_bytes = header_part;
  bytes.remove_prefix(header_part);

  const std::size_t block_size = map.block_size();
  const std::size_t started = (bytes.size() + block_size - 1) / block_size;
  if (started > map.input->blocks) {
    return std::to_string(bytes.size()) + " bytes after the header: more than " +
           std::to_string(map.input->blocks) + " blocks";
  }
  for (std::size_t b = 0; b < started; ++b) {
    const std::string_view written = bytes.substr(b * block_size, block_size);
    const std::string_view input_block = map.input->block(b);
    const std::string_view itime = input_block.substr(0, 4);
    const std::string_view values = input_block.substr(map.values_offset, map.values_size);
    std::size_t at = first_difference(written.substr(0, 4), itime);
    if (at == std::string_view::npos && written.size() > 4) {
      at = first_difference(written.substr(4), values);
      if (at != std::string_view::npos) at += 4;
    }
    if (at != std::string_view::npos) {
      return "block " + std::to_string(b + 1) + " differs at byte " + std::to_string(at);
    }
    if (written.size() == block_size) {
      ++state.whole_blocks;
    } else {
      state.partial_bytes = written.size();
    }
  }
  return "";
}

// One step of a run that leaves a trace: the header of a layer map, the
// progress line of a block, or a block of a layer map.
struct Step {
  std::string what;
  std::size_t size = 0;  // bytes the step adds to its map
  std::size_t done = 0;  // bytes of it present
};

// The steps of a complete run in their order: every header, then for each
// block its progress line followed by the block in each map, map after map.
// Checks that what is present is a prefix of that order, with at most one
// step cut short at its end. A map that exists before its header began is
// out of order too: the maps are created one after the other.
std::string check_run_order(const std::vector<ExpectedMap>& maps,
                            const std::vector<MapState>& states, std::size_t progress_lines,
                            std::size_t blocks) {
  std::vector<Step> steps;
  for (std::size_t i = 0; i < maps.size(); ++i) {
    steps.push_back({"header of map " + std::to_string(i + 1), maps[i].header.size(),
                     states[i].header_bytes});
  }
  for (std::size_t b = 0; b < blocks; ++b) {
    steps.push_back({"progress line " + std::to_string(b + 1), 1, progress_lines > b ? 1u : 0u});
    for (std::size_t i = 0; i < maps.size(); ++i) {
      const std::size_t size = maps[i].block_size();
      const std::size_t done = b < states[i].whole_blocks ? size
                               : b == states[i].whole_blocks ? states[i].partial_bytes
                                                             : 0;
      steps.push_back({"block " + std::to_string(b + 1) + " of map " + std::to_string(i + 1),
                       size, done});
    }
  }
  const auto current = std::find_if(steps.begin(), steps.end(),
                                    [](const Step& step) { return step.done < step.size; });
  for (auto later = current == steps.end() ? current : current + 1; later != steps.end();
       ++later) {
    if (later->done > 0) {
      return later->what + " is present, but " + current->what + " is not complete";
    }
  }
  for (std::size_t i = 0; i < maps.size(); ++i) {
    if (!states[i].exists || states[i].header_bytes > 0) continue;
    if (current == steps.end() || current->what != steps[i].what) {
      return "map " + std::to_string(i + 1) + " exists before its turn";
    }
  }
  return "";
}

std::size_t count_of(std::string_view text, std::string_view part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) {
    ++found;
  }
  return found;
}

std::string map_name(std::int32_t layer) { return "run-lay-" + std::to_string(layer) + ".map"; }

std::string answers() {
  std::string text =
      std::to_string(k_layers) + "\n" + std::to_string(std::size(k_map_layers)) + "\n";
  for (const std::int32_t layer : k_map_layers) text += std::to_string(layer) + "\n";
  return text;
}

// The large input is made once for all the runs of this test program.
class InterruptedRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = std::make_unique<TempDir>();
    const auto made = testing::run_command(
        {PLYSECT_MAKE_MAP, s_dir->file("run.map"), "--layers", std::to_string(k_layers),
         "--segments-per-layer", std::to_string(k_segments_per_layer), "--substances",
         std::to_string(k_substances), "--blocks", std::to_string(k_blocks)},
        "");
    ASSERT_EQ(made.status, 0) << made.err;
  }
  static void TearDownTestSuite() { s_dir.reset(); }

  static std::unique_ptr<TempDir> s_dir;
};

std::unique_ptr<TempDir> InterruptedRun::s_dir;

struct RunOutcome {
  RunResult result;
  double seconds = 0;  // from the answers to the end
};

// Runs the tool on the input with the dialogue's answers, sending `signal`
// `delay` after the answers (none when `signal` is 0).
RunOutcome run_once(const TempDir& dir, int signal, std::chrono::microseconds delay) {
  for (const std::int32_t layer : k_map_layers) std::remove(dir.file(map_name(layer)).c_str());
  RunningCommand::Options options;
  options.cwd = dir.path();
  RunningCommand run({testing::plysect_binary(), "run.map"}, options);
  // The first prompt shows that the event handler is in place.
  EXPECT_TRUE(run.wait_for_output(k_first_prompt)) << "no prompt";
  const auto start = std::chrono::steady_clock::now();
  run.send_input(answers());
  if (signal != 0) {
    std::this_thread::sleep_for(delay);
    run.send_signal(signal);
  }
  RunOutcome outcome;
  outcome.result = run.finish(60);
  outcome.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return outcome;
}

// Reads every layer map and checks it and the order of the run; the states
// say how far each map got.
void check_layer_maps(const TempDir& dir, const InputLayout& input, const RunResult& result,
                      std::vector<MapState>& states) {
  std::vector<ExpectedMap> maps;
  states.assign(std::size(k_map_layers), MapState{});
  for (std::size_t i = 0; i < std::size(k_map_layers); ++i) {
    maps.push_back(expected_map(input, k_layers, k_map_layers[i]));
    const MappedFile file(dir.file(map_name(k_map_layers[i])));
    const std::string wrong = read_layer_map(maps.back(), file, states[i]);
    EXPECT_EQ(wrong, "") << map_name(k_map_layers[i]);
  }
  const std::string disorder =
      check_run_order(maps, states, count_of(result.out, k_progress_mark), input.blocks);
  EXPECT_EQ(disorder, "");
}

std::string describe(const std::vector<MapState>& states) {
  std::string text;
  for (std::size_t i = 0; i < states.size(); ++i) {
    const MapState& s = states[i];
    text += " " + std::to_string(k_map_layers[i]) + ":";
    if (!s.exists) {
      text += "none";
    } else {
      text += "h" + std::to_string(s.header_bytes) + "+" + std::to_string(s.whole_blocks);
      if (s.partial_bytes > 0) text += "+" + std::to_string(s.partial_bytes) + "B";
    }
  }
  return text;
}

unsigned seed_of_this_run() {
  if (const char* given = std::getenv("PLYSECT_INTERRUPT_SEED")) {
    return static_cast<unsigned>(std::strtoul(given, nullptr, 10));
  }
  return std::random_device{}();
}

TEST_F(InterruptedRun, EveryLayerMapHoldsWhatPrecededTheEvent) {
  const MappedFile input_file(s_dir->file("run.map"));
  const InputLayout input = read_input_layout(input_file.bytes());
  ASSERT_EQ(input.blocks, static_cast<std::size_t>(k_blocks));

  // An uninterrupted run first: the reader must find every map complete, and
  // its length bounds the points of interruption.
  const RunOutcome whole = run_once(*s_dir, 0, {});
  ASSERT_EQ(whole.result.status, 0) << whole.result.err;
  ASSERT_EQ(whole.result.err, "");
  ASSERT_EQ(count_of(whole.result.out, k_progress_mark), input.blocks);
  std::vector<MapState> states;
  check_layer_maps(*s_dir, input, whole.result, states);
  for (const MapState& state : states) {
    ASSERT_EQ(state.whole_blocks, input.blocks) << describe(states);
    ASSERT_EQ(state.partial_bytes, 0u) << describe(states);
  }

  const unsigned seed = seed_of_this_run();
  std::printf("interrupted runs: seed %u (PLYSECT_INTERRUPT_SEED=%u repeats the points); "
              "uninterrupted run %.3f s\n",
              seed, seed, whole.seconds);
  SCOPED_TRACE("PLYSECT_INTERRUPT_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  // One point in four falls right at the start (dialogue, header pass, first
  // blocks); the others anywhere up to well before the end of a whole run.
  // A run that ends before its event shows that runs are faster than the
  // first one: the later points come earlier.
  long latest_us = std::max(static_cast<long>(whole.seconds * 1e6) * 2 / 3, 1000L);
  std::uniform_int_distribution<long> early(0, 500);
  std::uniform_int_distribution<int> pick(0, 3);

  for (const auto& event : k_events) {
    int interrupted = 0;
    for (int r = 0; r < k_runs_per_event; ++r) {
      const long delay_us = pick(random) == 0
                                ? early(random)
                                : std::uniform_int_distribution<long>(0, latest_us)(random);
      SCOPED_TRACE(std::string(event.word) + " after " + std::to_string(delay_us) + " us");
      const RunOutcome run = run_once(*s_dir, event.signal, std::chrono::microseconds(delay_us));
      check_layer_maps(*s_dir, input, run.result, states);
      std::printf("  %-13s after %7ld us: status %3d, maps%s\n", event.word, delay_us,
                  run.result.status, describe(states).c_str());
      if (run.result.status == 0) {
        // The event came as the run was ending: the run is complete.
        for (const MapState& state : states) {
          EXPECT_EQ(state.whole_blocks, input.blocks) << describe(states);
        }
        EXPECT_TRUE(run.result.err == "" || run.result.err == event_line(event.word))
            << run.result.err;
        latest_us = std::max(std::min(latest_us, delay_us * 2 / 3), 1000L);
        continue;
      }
      ++interrupted;
      EXPECT_EQ(run.result.status, event.status);
      // A console event carries no traceback.
      EXPECT_EQ(run.result.err, event_line(event.word));
    }
    // An event that never ends a run would pass as runs that ended first.
    EXPECT_GT(interrupted, k_runs_per_event / 2) << event.word;
  }
}

}  // namespace
}  // namespace plysect

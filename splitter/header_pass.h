// The header pass: opens the 3D map file, reads its header, prints the
// segment totals, enforces the tool's limits, creates one layer map per
// requested layer under a name derived from the input name, writes each layer
// map's header and lists the substances. Afterwards the input stands at its
// first time block.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "mapfile/map_stream.h"
#include "splitter/command_line.h"

namespace plysect {

inline constexpr std::int32_t k_max_notot = 120;
inline constexpr std::int32_t k_max_noseg = 235000;
inline constexpr int k_input_unit = 10;

struct LayerMap {
  std::int32_t layer = 0;  // 1-based layer number of the 3D model
  std::unique_ptr<MapStream> stream;
};

struct SplitRun {
  std::unique_ptr<MapStream> input;
  std::int32_t notot = 0;
  std::int32_t noseg = 0;
  std::int32_t nsegl = 0;  // segments per layer
  std::vector<LayerMap> maps;
};

// Runs the header pass for `nlay` layers and one layer map per entry of
// `ilay`. Refusals end the run with a termination message; failed transfers
// with a fatal diagnostic.
SplitRun run_header_pass(const InputName& input_name, std::int32_t nlay,
                         std::span<const std::int32_t> ilay);

// The layer map name for `layer`: the input name up to its first full stop,
// "-lay-", the layer number and ".map", blank-padded or cut to 100.
InputName layer_map_name(const InputName& input_name, std::int32_t layer);

}  // namespace plysect

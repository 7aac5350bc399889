// Small map files built in memory, and the layer maps a correct run makes of
// them, computed independently of the tool's code.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace plysect::testing {

struct MapFixture {
  std::array<std::string, 4> titles{"Test run", "Second title line", "Third title line",
                                    "Fourth title line"};
  std::vector<std::string> names;  // notot substance names
  std::int32_t noseg = 0;
  std::vector<std::int32_t> itimes;                 // one per block
  std::vector<std::vector<std::uint32_t>> values;  // per block: notot * noseg raw values

  std::int32_t notot() const { return static_cast<std::int32_t>(names.size()); }
  // The whole input file.
  std::string bytes() const;
  // The header alone.
  std::string header() const;
  // Block b alone (itime and values).
  std::string block(std::size_t b) const;
  // What the layer map of `layer` (of `nlay`) holds after relaying `blocks` blocks.
  std::string layer_map(std::int32_t nlay, std::int32_t layer, std::size_t blocks) const;
  // The header of that layer map.
  std::string layer_header(std::int32_t nlay, std::int32_t layer) const;
};

// A fixture of `notot` substances, `noseg` segments and `blocks` blocks an hour
// apart, with distinct values that include signalling and quiet NaN patterns.
MapFixture make_fixture(std::int32_t notot, std::int32_t noseg, std::size_t blocks);

// The 4 little-endian bytes of `value`.
std::string le32(std::uint32_t value);

}  // namespace plysect::testing

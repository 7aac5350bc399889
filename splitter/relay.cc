#include "splitter/relay.h"

#include <array>
#include <string_view>
#include <vector>

#include "console/console_output.h"

namespace plysect {

namespace {

using namespace std::string_view_literals;

constexpr std::int32_t k_seconds_per_day = 86400;
constexpr std::int32_t k_seconds_per_hour = 3600;

}  // namespace

void relay_time_blocks(SplitRun& run) {
  // The one block in memory, sized for this input. A layer's segments lie
  // contiguous in it, so each layer map block is written straight from here.
  const std::size_t layer_bytes =
      4 * static_cast<std::size_t>(run.notot) * static_cast<std::size_t>(run.nsegl);
  std::vector<std::byte> conc(4 * static_cast<std::size_t>(run.notot) *
                              static_cast<std::size_t>(run.noseg));
  std::array<std::byte, 4> itime_bytes;

  while (read_map_items(*run.input, {itime_bytes, conc}, EndOfFile::report) == 0) {
    // Integer division truncates toward zero and the remainder takes the sign
    // of itime: a negative time gives a day and an hour of zero or below.
    const std::int32_t itime = decode_fixed32(itime_bytes.data());
    const std::int32_t day = itime / k_seconds_per_day;
    const std::int32_t hour = (itime % k_seconds_per_day) / k_seconds_per_hour;
    write_free_line({" D :"sv, day, "  H :"sv, hour});
    for (LayerMap& map : run.maps) {
      const auto layer = std::span<const std::byte>(conc).subspan(
          static_cast<std::size_t>(map.layer - 1) * layer_bytes, layer_bytes);
      write_map_items(*map.stream, {itime_bytes, layer});
    }
  }
}

}  // namespace plysect

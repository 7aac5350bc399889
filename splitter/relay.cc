#include "splitter/relay.h"

#include <array>
#include <memory>
#include <span>
#include <string_view>

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
  // Left uninitialised: every byte is read before it is written out, and
  // memory is only touched as blocks arrive (a header at the limits on a
  // short file costs nothing).
  const std::size_t block_bytes =
      4 * static_cast<std::size_t>(run.notot) * static_cast<std::size_t>(run.noseg);
  const auto block = std::make_unique_for_overwrite<std::byte[]>(block_bytes);
  const std::span<std::byte> conc(block.get(), block_bytes);
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

#include "splitter/header_pass.h"

#include <algorithm>
#include <string_view>

#include "console/console_output.h"
#include "console/termination.h"

namespace plysect {

namespace {

using namespace std::string_view_literals;

constexpr std::size_t k_titles_length = k_title_lines * k_title_length;

std::span<std::byte> bytes_of(std::span<char> text) { return std::as_writable_bytes(text); }
std::span<const std::byte> bytes_of(std::span<const char> text) { return std::as_bytes(text); }

// The fourth title line of a layer map names its layer: "Lay" and the layer
// right-aligned in 3 columns, blank-filled to 40.
std::string layer_title(std::int32_t layer) {
  return format_fixed_text({{FieldKind::text, 4}, {FieldKind::integer, 3}}, {"Lay "sv, layer},
                           k_title_length);
}

void check_segment_count(std::int32_t noseg, std::int32_t nlay) {
  if (noseg > k_max_noseg) end_run_with_message(" noseg too large !");
  if (noseg < 0) end_run_with_message(" noseg too small !");
  // Unequal layers would shift every segment after the first block.
  if (noseg % nlay != 0) end_run_with_message(" noseg not a multiple of Nr layers !");
}

void write_layer_header(MapStream& stream, std::span<const char> titles, std::int32_t layer,
                        std::int32_t notot, std::int32_t nsegl, std::span<const char> subnam) {
  std::array<char, k_titles_length> layer_titles;
  std::copy(titles.begin(), titles.end(), layer_titles.begin());
  const std::string fourth = layer_title(layer);
  std::copy(fourth.begin(), fourth.end(), layer_titles.begin() + 3 * k_title_length);
  std::array<std::byte, 8> counts;
  encode_fixed32(counts.data(), notot);
  encode_fixed32(counts.data() + 4, nsegl);
  write_map_items(stream, {bytes_of(std::span<const char>(layer_titles))});
  write_map_items(stream, {counts});
  write_map_items(stream, {bytes_of(subnam)});
}

void list_substances(std::int32_t notot, std::span<const char> subnam) {
  write_free_line({" "sv});
  write_free_line({" "sv});
  write_free_line({" TOLVAN substances :"sv});
  write_free_line();
  for (std::int32_t k = 1; k <= notot; ++k) {
    const std::string_view name(subnam.data() + (k - 1) * k_substance_name_length,
                                k_substance_name_length);
    write_field_line({{FieldKind::integer, 3}, {FieldKind::natural_text}, {FieldKind::natural_text}},
                     {k, ": "sv, name});
  }
}

}  // namespace

InputName layer_map_name(const InputName& input_name, std::int32_t layer) {
  const auto stop = std::find(input_name.begin(), input_name.end(), '.');
  const std::string_view stem =
      stop == input_name.end() ? std::string_view() : std::string_view(input_name.begin(), stop);
  const int digits = layer < 10 ? 1 : 2;
  std::string name(stem);
  name += format_fixed_text({{FieldKind::text, 5}, {FieldKind::integer, digits}}, {"-lay-"sv, layer},
                            static_cast<std::size_t>(5 + digits));
  name += ".map";
  InputName padded;
  padded.fill(' ');
  std::copy_n(name.begin(), std::min(name.size(), padded.size()), padded.begin());
  return padded;
}

SplitRun run_header_pass(const InputName& input_name, std::int32_t nlay,
                         std::span<const std::int32_t> ilay) {
  SplitRun run;
  run.input = open_map_stream(k_input_unit, input_name, OpenRule::existing_only);

  std::array<char, k_titles_length> titles;
  std::array<std::byte, 8> counts;
  read_map_items(*run.input, {bytes_of(std::span<char>(titles))}, EndOfFile::fatal);
  read_map_items(*run.input, {counts}, EndOfFile::fatal);
  run.notot = decode_fixed32(counts.data());
  run.noseg = decode_fixed32(counts.data() + 4);
  if (run.notot > k_max_notot) end_run_with_message(" notot too large !");
  if (run.notot < 0) end_run_with_message(" notot too small !");

  std::vector<char> subnam(static_cast<std::size_t>(run.notot) * k_substance_name_length);
  read_map_items(*run.input, {bytes_of(std::span<char>(subnam))}, EndOfFile::fatal);

  run.nsegl = run.noseg / nlay;
  write_free_line({" Total nr of segments "sv, run.noseg});
  write_free_line({" Segment each layers  "sv, run.nsegl});
  check_segment_count(run.noseg, nlay);

  for (std::size_t i = 0; i < ilay.size(); ++i) {
    LayerMap map;
    map.layer = ilay[i];
    map.stream = open_map_stream(k_input_unit + 1 + static_cast<int>(i),
                                 layer_map_name(input_name, map.layer), OpenRule::open_or_create);
    write_layer_header(*map.stream, titles, map.layer, run.notot, run.nsegl, subnam);
    run.maps.push_back(std::move(map));
  }
  list_substances(run.notot, subnam);
  return run;
}

}  // namespace plysect

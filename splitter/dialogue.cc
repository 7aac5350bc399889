#include "splitter/dialogue.h"

#include <string_view>

#include "console/answer_input.h"
#include "console/console_output.h"
#include "console/termination.h"

namespace plysect {

namespace {

constexpr std::string_view k_layers_prompt = " Give total number of WQ layers : ";
constexpr std::string_view k_maps_prompt = " Give  number of desired 2D map files : ";
// Shown in a field one column short of it, so the full stop is cut off.
constexpr std::string_view k_layer_prompt = " Give lay number for 2D map no.";
constexpr std::string_view k_too_large = " Nr layers too large !";
constexpr std::string_view k_too_small = " Nr layers too small !";
constexpr std::string_view k_too_many_maps = " Nr maps too large !";

}  // namespace

void ask_run_settings(RunSettings& settings) {
  write_free_line();
  write_prompt({{FieldKind::text, 34}}, {k_layers_prompt});
  read_answer(settings.nlay);
  write_free_line();
  write_prompt({{FieldKind::text, 40}}, {k_maps_prompt});
  read_answer(settings.nmap);

  // Both counts are in before either is judged. A count below 1 would divide
  // the segments by zero or less further on; more than 20 maps do not fit.
  if (settings.nlay > k_max_layers) end_run_with_message(k_too_large);
  if (settings.nlay < 1) end_run_with_message(k_too_small);
  if (settings.nmap > k_max_maps) end_run_with_message(k_too_many_maps);
  write_free_line();

  for (std::int32_t i = 1; i <= settings.nmap; ++i) {
    write_prompt({{FieldKind::text, 30}, {FieldKind::integer, 2}, {FieldKind::text, 3}},
                 {k_layer_prompt, i, std::string_view(": ")});
    std::int32_t& layer = settings.ilay[static_cast<std::size_t>(i - 1)];
    read_answer(layer);
    if (layer > k_max_layers || layer > settings.nlay) end_run_with_message(k_too_large);
    if (layer < 1) end_run_with_message(k_too_small);
  }
}

}  // namespace plysect

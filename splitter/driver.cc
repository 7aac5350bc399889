#include "splitter/driver.h"

#include <algorithm>

#include "console/console_output.h"
#include "console/termination.h"
#include "splitter/command_line.h"
#include "splitter/dialogue.h"
#include "splitter/header_pass.h"
#include "splitter/relay.h"

namespace plysect {

// The road of one run: the input name from the command line, the dialogue,
// the header pass that creates the layer maps, the relay of every time block
// and the normal end at the end of the input. Refusals and failures end the
// run where they happen and never come back here.
void run_plysect(std::span<char* const> args) {
  InputName input_name;
  get_argument(args, 1, input_name);
  if (is_blank(input_name)) {
    write_free_line({std::string_view(" Use: plysect <3D-map filename>")});
    end_run();
  }

  RunSettings settings;
  ask_run_settings(settings);
  const auto layers = std::span<const std::int32_t>(settings.ilay)
                          .first(static_cast<std::size_t>(std::max(settings.nmap, 0)));

  SplitRun run = run_header_pass(input_name, settings.nlay, layers);
  relay_time_blocks(run);
  end_run();
}

}  // namespace plysect

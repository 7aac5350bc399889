#include "splitter/driver.h"

#include "console/console_output.h"
#include "console/termination.h"
#include "splitter/command_line.h"
#include "splitter/dialogue.h"

namespace plysect {

void run_plysect(std::span<char* const> args) {
  InputName input_name;
  get_argument(args, 1, input_name);
  if (is_blank(input_name)) {
    write_free_line({std::string_view(" Use: plysect <3D-map filename>")});
    end_run();
  }
  RunSettings settings;
  ask_run_settings(settings);
  end_run();
}

}  // namespace plysect

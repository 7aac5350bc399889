#include <csignal>

#include "console/events.h"
#include "splitter/driver.h"

int main(int argc, char** argv) {
  // The safety frame comes first, before anything is printed.
  plysect::install_event_handlers();
  // A closed pipe on standard output and a file grown past the size limit
  // must fail the write (EPIPE, EFBIG), which is reported as a diagnostic,
  // instead of killing the process silently.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  plysect::run_plysect(std::span<char* const>(argv, static_cast<std::size_t>(argc)));
}

// A small program over map streams, for the tests that need a process of its
// own: under reduced capabilities, under system-call fault injection, or in a
// private mount namespace.
//
//   map_stream_probe IN OUT [CHUNK]
//
// Opens IN as the input (unit 10) and OUT as layer map 1 (unit 11), each name
// blank-padded to 100 characters as the tool passes them, then copies IN to
// OUT in status reads of CHUNK bytes (default 1000), each chunk written as two
// items. A chunk cut short by the end of the input is not written. Ends
// through the normal end of a run, or through a fatal diagnostic.
#include <cstdlib>
#include <string>
#include <vector>

#include "console/termination.h"
#include "mapfile/map_stream.h"

namespace {

std::string padded(const char* name) {
  std::string text(name);
  if (text.size() < 100) text.resize(100, ' ');
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace plysect;
  if (argc < 3) return 2;
  const std::size_t chunk = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1000;
  const std::string in_name = padded(argv[1]);
  const std::string out_name = padded(argv[2]);

  auto in = open_map_stream(10, in_name, OpenRule::existing_only);
  auto out = open_map_stream(11, out_name, OpenRule::open_or_create);
  std::vector<std::byte> bytes(chunk);
  const std::span<std::byte> all(bytes);
  const std::size_t split = chunk / 3;
  while (read_map_items(*in, {all.first(split), all.subspan(split)}, EndOfFile::report) == 0) {
    write_map_items(*out, {all.first(split), all.subspan(split)});
  }
  end_run();
}

#include "splitter/command_line.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace plysect {

std::int16_t get_argument(std::span<char* const> args, std::int16_t n, std::span<char> text) {
  std::fill(text.begin(), text.end(), ' ');
  if (n < 0 || static_cast<std::size_t>(n) >= args.size() || args[static_cast<std::size_t>(n)] == nullptr) {
    return -1;
  }
  const char* argument = args[static_cast<std::size_t>(n)];
  const std::size_t length = std::strlen(argument);
  std::copy_n(argument, std::min(length, text.size()), text.begin());
  return static_cast<std::int16_t>(
      std::min<std::size_t>(length, std::numeric_limits<std::int16_t>::max()));
}

bool is_blank(std::span<const char> text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c == ' '; });
}

}  // namespace plysect

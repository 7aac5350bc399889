// The command line: argument 1 is the name of the 3D map file.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace plysect {

inline constexpr std::size_t k_name_width = 100;

// A file name of exactly 100 single-byte characters, blank-padded on the
// right. All blanks means missing.
using InputName = std::array<char, k_name_width>;

// Copies argument `n` of `args` (argument 0 is the program name) into `text`,
// cut to its width or padded with blanks, and returns the argument's full
// length (at most 32767). A missing argument gives blanks and -1.
std::int16_t get_argument(std::span<char* const> args, std::int16_t n, std::span<char> text);

bool is_blank(std::span<const char> text);

}  // namespace plysect

// The set-up dialogue: how many layers the model has, how many layer maps are
// wanted and which layer each map shows. It runs before any file is opened,
// so a refused run leaves no file behind.
#pragma once

#include <array>
#include <cstdint>

namespace plysect {

inline constexpr std::int32_t k_max_layers = 20;
inline constexpr std::int32_t k_max_maps = 20;

// The run's settings, all 0 until answered; an answer that gives no value
// leaves its setting as it was.
struct RunSettings {
  std::int32_t nlay = 0;                      // layers of the model
  std::int32_t nmap = 0;                      // layer maps to write
  std::array<std::int32_t, k_max_maps> ilay{};  // layer of map 1 to map nmap
};

// Asks for the three kinds of answer and refuses, with a termination message,
// a layer count or layer number outside 1 to 20 or a layer number above the
// layer count (" Nr layers too large !", " Nr layers too small !"), and more
// than 20 maps (" Nr maps too large !"). Returns only with settings that hold:
// 1 <= nlay <= 20, nmap <= 20 (0 or below: no maps), 1 <= ilay(i) <= nlay.
void ask_run_settings(RunSettings& settings);

}  // namespace plysect

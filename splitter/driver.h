// The layer splitter: one straight-line driver from the command line through
// the set-up dialogue and the header pass to the relay of every time block.
#pragma once

#include <span>

namespace plysect {

// Runs the whole tool on the process's arguments; never returns.
[[noreturn]] void run_plysect(std::span<char* const> args);

}  // namespace plysect

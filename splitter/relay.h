// The time-block relay: reads the 3D map file one time block at a time,
// prints the block's day and hour, and appends to every layer map the block's
// time stamp and the values of its layer. Returns at the end of the input,
// whether it comes after the last complete block or part-way through one; a
// block cut short is never written.
#pragma once

#include "splitter/header_pass.h"

namespace plysect {

void relay_time_blocks(SplitRun& run);

}  // namespace plysect

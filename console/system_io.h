// Small wrappers over the system's byte-stream calls.
#pragma once

#include <cstddef>
#include <string_view>

namespace plysect {

// Writes all of `bytes` to `fd`, continuing partial writes, retrying
// interrupted ones and waiting for room on a descriptor left non-blocking.
// Returns 0, or the errno of the write that failed.
int write_all(int fd, std::string_view bytes);

}  // namespace plysect

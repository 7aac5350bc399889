// Small wrappers over the system's byte-stream calls.
#pragma once

#include <cstddef>
#include <string_view>

namespace plysect {

// Writes all of `bytes` to `fd`, continuing partial writes and retrying
// interrupted ones. Returns 0, or the errno of the write that failed.
int write_all(int fd, std::string_view bytes);

}  // namespace plysect

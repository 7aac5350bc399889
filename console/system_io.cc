#include "console/system_io.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace plysect {

int write_all(int fd, std::string_view bytes) {
  const char* next = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, next, left);
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error == EAGAIN || error == EWOULDBLOCK) {
        // The descriptor was left non-blocking by whoever started us and its
        // reader is behind: wait for room instead of failing.
        pollfd room{fd, POLLOUT, 0};
        if (::poll(&room, 1, -1) >= 0 || errno == EINTR) continue;
      }
      return error;
    }
    if (n == 0) return EIO;  // a regular write never gets here; do not spin
    next += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace plysect

#include "console/system_io.h"

#include <cerrno>
#include <unistd.h>

namespace plysect {

int write_all(int fd, std::string_view bytes) {
  const char* next = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, next, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // a regular write never gets here; do not spin
    next += n;
    left -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace plysect

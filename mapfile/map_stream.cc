#include "mapfile/map_stream.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "console/termination.h"

namespace plysect {

static_assert(sizeof(off_t) == 8, "files over 4 GiB need 64-bit offsets");

std::int32_t decode_fixed32(const std::byte* bytes) {
  const auto byte = [bytes](int i) { return std::to_integer<std::uint32_t>(bytes[i]); };
  return static_cast<std::int32_t>(byte(0) | (byte(1) << 8) | (byte(2) << 16) | (byte(3) << 24));
}

void encode_fixed32(std::byte* bytes, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::byte>(bits >> (8 * i));
}

namespace {

constexpr std::size_t k_max_name_length = 256;

std::string_view trimmed(std::span<const char> name) {
  std::string_view text(name.data(), name.size());
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  text.remove_prefix(first);
  const std::size_t last = text.find_last_not_of(std::string_view(" \0", 2));
  return text.substr(0, last == std::string_view::npos ? 0 : last + 1);
}

// The full path of `name` without asking the file system about it: symbolic
// links are not followed, so "link/.." is the directory that holds "link". A
// trailing slash stays, so that a name meant as a directory is not opened as
// a file. Empty when the current directory cannot be found.
std::string full_path(std::string_view name) {
  std::string joined;
  if (!name.starts_with('/')) {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return {};
    joined = cwd;
    joined += '/';
  }
  joined += name;

  std::string path;
  std::size_t start = 0;
  while (start <= joined.size()) {
    std::size_t end = joined.find('/', start);
    if (end == std::string::npos) end = joined.size();
    const std::string_view step(joined.data() + start, end - start);
    if (step == "..") {
      path.resize(path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
    } else if (!step.empty() && step != ".") {
      path += '/';
      path += step;
    }
    start = end + 1;
  }
  if (path.empty() || name.ends_with('/')) path += '/';
  return path;
}

// The name the file is opened and reported under; false when no system could
// open it (empty, too long, or a NUL inside).
bool resolve_name(std::span<const char> given, std::string& name) {
  const std::string_view text = trimmed(given);
  if (text.empty()) return false;
  name = full_path(text);
  if (name.empty() || name.size() > k_max_name_length) name = text;
  return name.size() <= k_max_name_length && name.find('\0') == std::string::npos;
}

struct Opened {
  int fd = -1;
  bool created = false;  // this open made the file
  int error = 0;
};

Opened open_file(const std::string& path, int access, OpenRule rule) {
  const int flags = access | O_CLOEXEC | O_NOCTTY;
  // A missing file is created exclusively, so that a failed open removes only
  // what it made itself. A file that appears in between is opened as found;
  // after a few rounds (a dangling symbolic link never stops "appearing") the
  // link is followed as any open-or-create would.
  for (int round = 0;; ++round) {
    int fd = ::open(path.c_str(), flags);
    if (fd >= 0) return {fd, false, 0};
    if (errno == EINTR) continue;
    if (errno != ENOENT || rule == OpenRule::existing_only) return {-1, false, errno};
    const bool exclusive = round < 3;
    fd = ::open(path.c_str(), flags | O_CREAT | (exclusive ? O_EXCL : 0), 0666);
    if (fd >= 0) return {fd, exclusive, 0};
    if (errno != EINTR && errno != EEXIST) return {-1, false, errno};
  }
}

bool is_write_refusal(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// The diagnostic for an open the system refused, and the errno that earns a
// system error line (0 for none).
std::pair<DiagnosticCode, int> open_diagnostic(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return {k_file_not_found, 0};
    case EACCES:
    case EPERM:
    case EROFS:
      return {k_permission_denied, 0};
    case ENXIO:
    case ENODEV:
      return {k_no_such_device, 0};
    case ENAMETOOLONG:
    case EINVAL:
    case EILSEQ:
      return {k_file_name_error, 0};
    case EMFILE:
    case ENFILE:
      return {k_open_failure, 0};
    default:
      return {k_open_failure, error};
  }
}

// Failures after the file was opened: the descriptor goes, and so does a file
// that this open created.
[[noreturn]] void abandon_open(int unit, const std::string& path, const Opened& opened,
                               int error) {
  ::close(opened.fd);
  if (opened.created) ::unlink(path.c_str());
  raise_fatal(k_open_failure, unit, path, error);
}

ssize_t read_some(int fd, std::byte* into, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, into, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

std::unique_ptr<MapStream> open_map_stream(int unit, std::span<const char> name, OpenRule rule) {
  std::string path;
  if (!resolve_name(name, path)) raise_fatal(k_file_name_error, unit, path);

  // A pipe opened for reading and writing never reaches its end, and one that
  // we also read never tells its writer that the reader has gone.
  int access = O_RDWR;
  struct stat status;
  if (::stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) {
    access = rule == OpenRule::existing_only ? O_RDONLY : O_WRONLY;
  }
  Opened opened = open_file(path, access, rule);
  bool read_only = access == O_RDONLY;
  if (opened.fd < 0 && access == O_RDWR && is_write_refusal(opened.error)) {
    opened = open_file(path, O_RDONLY, rule);
    read_only = true;
  }
  if (opened.fd < 0) {
    const auto [code, system_error] = open_diagnostic(opened.error);
    raise_fatal(code, unit, path, system_error);
  }

  if (::fstat(opened.fd, &status) != 0) abandon_open(unit, path, opened, errno);
  // The sharing rule: no second stream, here or in another program, on the
  // same file. A character device (the null device, a terminal) is shared by
  // every process on the system and is left unlocked.
  while (!S_ISCHR(status.st_mode) && ::flock(opened.fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) abandon_open(unit, path, opened, errno);
  }

  return std::unique_ptr<MapStream>(
      new MapStream(unit, std::move(path), opened.fd, read_only, S_ISREG(status.st_mode)));
}

MapStream::MapStream(int unit, std::string name, int fd, bool read_only, bool cut_pending)
    : m_read_only(read_only), m_cut_pending(cut_pending) {
  m_unit.number = unit;
  m_unit.fd = fd;
  m_unit.name = std::move(name);
  register_unit(m_unit);
}

MapStream::~MapStream() {
  unregister_unit(m_unit);
  int expected = OpenUnit::idle;
  if (m_unit.state.compare_exchange_strong(expected, OpenUnit::closed)) ::close(m_unit.fd);
}

int read_map_items(MapStream& stream, std::initializer_list<std::span<std::byte>> items,
                   EndOfFile at_end) {
  int status = 0;
  MapStream::Failure failure;
  {
    UnitHold hold(stream.m_unit);
    failure = stream.read_items(items, at_end, status);
  }
  // Raised once the hold is gone, so that the end-of-run close closes this
  // stream too.
  if (failure.code != 0) {
    raise_fatal(failure.code, stream.m_unit.number, stream.m_unit.name, failure.system_error);
  }
  return status;
}

void write_map_items(MapStream& stream, std::initializer_list<std::span<const std::byte>> items) {
  MapStream::Failure failure;
  {
    UnitHold hold(stream.m_unit);
    failure = stream.write_items(items);
  }
  if (failure.code != 0) {
    raise_fatal(failure.code, stream.m_unit.number, stream.m_unit.name, failure.system_error);
  }
}

MapStream::Failure MapStream::read_items(std::initializer_list<std::span<std::byte>> items,
                                         EndOfFile at_end, int& status) {
  const int fd = m_unit.fd;
  // Every read asks for bytes when none are left over, even one that wants
  // none; the items below ask by themselves when they have bytes to fill.
  const bool wants_bytes =
      std::any_of(items.begin(), items.end(), [](const auto& item) { return !item.empty(); });
  bool ended = false;
  if (m_fetch_next == m_fetch_end && !wants_bytes) {
    const ssize_t n = read_some(fd, m_fetched.data(), k_fetch_size);
    if (n < 0) return {k_error_during_read, errno};
    m_fetch_next = 0;
    m_fetch_end = static_cast<std::size_t>(n);
    ended = n == 0;
  }

  for (auto item = items.begin(); item != items.end() && !ended; ++item) {
    std::byte* into = item->data();
    std::size_t wanted = item->size();
    while (wanted > 0) {
      if (m_fetch_next < m_fetch_end) {
        const std::size_t take = std::min(wanted, m_fetch_end - m_fetch_next);
        std::memcpy(into, m_fetched.data() + m_fetch_next, take);
        m_fetch_next += take;
        into += take;
        wanted -= take;
        continue;
      }
      // A whole fetch that the item takes entirely lands in it directly.
      const bool direct = wanted >= k_fetch_size;
      const ssize_t n = read_some(fd, direct ? into : m_fetched.data(), k_fetch_size);
      if (n < 0) return {k_error_during_read, errno};
      if (n == 0) {
        ended = true;
        break;
      }
      if (direct) {
        into += n;
        wanted -= static_cast<std::size_t>(n);
      } else {
        m_fetch_next = 0;
        m_fetch_end = static_cast<std::size_t>(n);
      }
    }
  }

  if (ended) {
    if (at_end == EndOfFile::fatal) return {k_end_of_file_during_read, 0};
    status = -1;
  }
  return {};
}

// Bytes fetched ahead of a read belong after the bytes that a write puts
// next; the file position steps back over them. Only a stream that is both
// read and written needs this.
MapStream::Failure MapStream::give_back_fetched_bytes() {
  const auto ahead = static_cast<off_t>(m_fetch_end - m_fetch_next);
  if (ahead > 0 && ::lseek(m_unit.fd, -ahead, SEEK_CUR) < 0) return {k_error_during_write, errno};
  m_fetch_next = m_fetch_end = 0;
  return {};
}

MapStream::Failure MapStream::write_items(
    std::initializer_list<std::span<const std::byte>> items) {
  if (m_read_only) return {k_read_only_write, 0};
  if (const Failure failure = give_back_fetched_bytes(); failure.code != 0) return failure;

  const int fd = m_unit.fd;
  // The next byte to hand over: item `next`, `offset` bytes in.
  auto next = items.begin();
  std::size_t offset = 0;
  for (;;) {
    int count = 0;
    std::size_t piece = 0;
    auto item = next;
    std::size_t from = offset;
    while (item != items.end() && count < static_cast<int>(k_max_gather) &&
           piece < k_write_piece) {
      const std::size_t left = item->size() - from;
      const std::size_t take = std::min(left, k_write_piece - piece);
      if (take > 0) {
        m_gather[static_cast<std::size_t>(count++)] = {
            const_cast<std::byte*>(item->data() + from), take};
        piece += take;
      }
      if (take == left) {
        ++item;
        from = 0;
      } else {
        from += take;
      }
    }
    if (piece == 0) break;

    const ssize_t n = ::writev(fd, m_gather.data(), count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return {k_error_during_write, errno};
    }
    if (n == 0) return {k_error_during_write, EIO};  // no progress: do not spin
    // A short write goes on from the first byte that did not go out.
    auto done = static_cast<std::size_t>(n);
    while (done > 0) {
      const std::size_t left = next->size() - offset;
      if (done < left) {
        offset += done;
        break;
      }
      done -= left;
      ++next;
      offset = 0;
    }
  }

  if (m_cut_pending) {
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end < 0) return {k_error_during_write, errno};
    while (::ftruncate(fd, end) != 0) {
      if (errno != EINTR) return {k_error_during_write, errno};
    }
    m_cut_pending = false;
  }
  return {};
}

}  // namespace plysect

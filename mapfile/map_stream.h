// Map files and the streams through which they are opened, read and written.
//
// A map file is a plain little-endian byte stream with no framing:
//
//   offset 0     4 title lines of 40 bytes, blank-padded, no terminator
//   offset 160   notot: number of substances, 32-bit integer
//   offset 164   noseg: number of segments, 32-bit integer
//   offset 168   notot substance names of 20 bytes, blank-padded
//   then         time blocks until the end of the file, each
//                  itime: time in seconds, 32-bit integer
//                  notot * noseg 32-bit reals, segment by segment, each
//                  segment's values in substance order
//
// The number of blocks follows from the file size. Values are opaque 4-byte
// quantities: they are copied, never converted, so every bit pattern passes.
// In a layered model the segments are numbered layer after layer, each layer
// holding noseg / nlay segments; a 2D layer map is a map file of one layer.
//
// A map stream is an open map file under a unit number (10 for the input,
// 10 + i for layer map i). Every failure of a stream is a fatal diagnostic
// naming the unit and the file's full path; no error value reaches the caller.
// The only status that comes back is the end of the input in a status read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <sys/uio.h>

#include "console/units.h"

namespace plysect {

inline constexpr std::size_t k_title_length = 40;
inline constexpr std::size_t k_title_lines = 4;
inline constexpr std::size_t k_substance_name_length = 20;

// The 32-bit little-endian integer at `bytes`, whatever the host's order.
std::int32_t decode_fixed32(const std::byte* bytes);
void encode_fixed32(std::byte* bytes, std::int32_t value);

class MapStream;

enum class OpenRule {
  existing_only,   // the input: a missing file is error 29 and nothing is created
  open_or_create,  // a layer map: created empty when missing, never truncated
};

enum class EndOfFile {
  report,  // a status read: the end of the input returns -1
  fatal,   // the end of the input is the fatal diagnostic 24
};

// Opens the file named by `name` as unit `unit`; does not return on failure.
//
// The name is a blank-padded text: leading blanks and trailing blanks and
// NULs are not part of it. It is resolved lexically to its full path (a
// relative name joined to the current directory, "." and ".." steps removed,
// symbolic links not followed); a full path over 256 characters falls back to
// the name as given, and a name still over 256 characters, an empty one, or one
// holding a NUL, is error 43. Diagnostics show the resolved name.
//
// The file is opened for reading and writing, never truncated; with
// `open_or_create` a missing file is created (mode 0666 under the umask).
// When write access is refused (EACCES, EPERM, EROFS) the open is tried once
// more for reading only, and the stream is read-only. A pipe or FIFO given as
// the input is opened for reading only, so that it reaches its end; one given
// as a layer map is opened for writing only, so that a reader that goes away
// fails the write instead of stalling it. As with any FIFO, the open waits
// until the other end is opened. Every stream takes an exclusive
// flock: a second stream on the same file (the same layer twice, an output
// name that resolves to the input) or a file locked by another program is
// refused with error 30. Character devices (the null device, a terminal)
// belong to every process and are not locked.
//
// Failures: a missing file (input only) or directory on the path is 29; a
// refused read-only retry is 9; no such device (a socket, a device without a
// driver) is 42; a name the system rejects is 43; too many open files is 30;
// anything else is 30 after the system's own text, among them a directory
// given as a map file ("Is a directory"). An open that fails leaves no file
// behind: a file it created is removed again.
std::unique_ptr<MapStream> open_map_stream(int unit, std::span<const char> name, OpenRule rule);

// Fills the items in order from the stream's next bytes. Returns 0 when every
// item was filled, -1 when the input ended first (EndOfFile::report only).
// Consecutive reads consume consecutive bytes, however the items split them.
// Every read, even one without items, first asks for bytes when none are
// left over, so an empty read at the end of the input meets that end. At the
// end the items filled so far keep their new bytes, an item cut short has its
// first bytes replaced and later items are untouched. Without status the end
// of the input is error 24; a failed read is error 39.
int read_map_items(MapStream& stream, std::initializer_list<std::span<std::byte>> items,
                   EndOfFile at_end);

// Appends the items' bytes to the file as one write operation, gathered from
// where they lie, and hands them to the system before it returns: nothing is
// held back. The first write on a regular file cuts it right after its own
// bytes (also when it has none), so an existing file ends up holding exactly
// what this run wrote. A read-only stream is error 47 and the file is not
// touched; a refused write or cut is error 38.
void write_map_items(MapStream& stream, std::initializer_list<std::span<const std::byte>> items);

// An open map file under its unit number. The stream owns its descriptor
// through the unit registry, so the end-of-run close finds it; the end-of-run
// close, not the destructor, is what closes the tool's files. The destructor
// closes the file and forgets the unit; it is for tests and for streams that
// go away before the end of a run.
class MapStream {
 public:
  ~MapStream();
  MapStream(const MapStream&) = delete;
  MapStream& operator=(const MapStream&) = delete;

  int unit_number() const { return m_unit.number; }
  // The resolved name under which the file was opened, as diagnostics show it.
  const std::string& name() const { return m_unit.name; }
  // Set when only a read-only open succeeded (and for a pipe given as input).
  bool read_only() const { return m_read_only; }

 private:
  friend std::unique_ptr<MapStream> open_map_stream(int, std::span<const char>, OpenRule);
  friend int read_map_items(MapStream&, std::initializer_list<std::span<std::byte>>, EndOfFile);
  friend void write_map_items(MapStream&, std::initializer_list<std::span<const std::byte>>);

  // One fetch from the file: the bytes of the input are asked for in pieces
  // of at most this size.
  static constexpr std::size_t k_fetch_size = 8192;
  // One write call hands at most this many bytes to the system.
  static constexpr std::size_t k_write_piece = 262144;
  // Gather entries of one write call; more items than this in one piece go
  // out in further calls.
  static constexpr std::size_t k_max_gather = 1024;

  // A failed transfer, raised once the stream is no longer held.
  struct Failure {
    std::uint32_t code = 0;
    int system_error = 0;
  };

  MapStream(int unit, std::string name, int fd, bool read_only, bool cut_pending);
  Failure read_items(std::initializer_list<std::span<std::byte>> items, EndOfFile at_end,
                     int& status);
  Failure write_items(std::initializer_list<std::span<const std::byte>> items);
  Failure give_back_fetched_bytes();

  OpenUnit m_unit;
  bool m_read_only;
  // Set for a regular file until the first write has cut it after its bytes.
  bool m_cut_pending;
  // Fetched bytes not yet delivered: m_fetched[m_fetch_next, m_fetch_end).
  std::size_t m_fetch_next = 0;
  std::size_t m_fetch_end = 0;
  // Scratch for the gathered write; kept here so a write allocates nothing.
  std::array<iovec, k_max_gather> m_gather;
  std::array<std::byte, k_fetch_size> m_fetched;
};

}  // namespace plysect

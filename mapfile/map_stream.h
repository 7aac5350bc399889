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

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

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

// Opens the file named by `name` (blank-padded; leading and trailing blanks
// are not part of the name) as unit `unit`. Does not return on failure.
std::unique_ptr<MapStream> open_map_stream(int unit, std::span<const char> name, OpenRule rule);

// Fills the items in order from the stream's next bytes. Returns 0 when every
// item was filled, -1 when the input ended first (EndOfFile::report only).
int read_map_items(MapStream& stream, std::initializer_list<std::span<std::byte>> items,
                   EndOfFile at_end);

// Appends the items' bytes to the file as one write operation.
void write_map_items(MapStream& stream, std::initializer_list<std::span<const std::byte>> items);

// Closes the stream's file and forgets it; the end-of-run close does the same
// for every stream still open. Streams live until the run ends; the
// destructor is for tests.
class MapStream {
 public:
  ~MapStream();
  MapStream(const MapStream&) = delete;
  MapStream& operator=(const MapStream&) = delete;
  // ... members chosen by the implementation
};

}  // namespace plysect

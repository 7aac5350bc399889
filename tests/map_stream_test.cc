#include "mapfile/map_stream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

#include "console/termination.h"
#include "console/units.h"
#include "tests/test_support.h"

namespace plysect {
namespace {

using testing::file_exists;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

// `text` blank-padded to `width` characters; the tool hands every name over
// blank-padded to 100.
std::string padded(std::string text, std::size_t width = 100) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

std::unique_ptr<MapStream> open_input(const std::string& name) {
  return open_map_stream(10, padded(name), OpenRule::existing_only);
}

std::unique_ptr<MapStream> open_layer_map(const std::string& name, int unit = 11) {
  return open_map_stream(unit, padded(name), OpenRule::open_or_create);
}

std::span<const std::byte> bytes_of(std::string_view text) {
  return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

std::span<std::byte> bytes_in(std::string& text) {
  return std::as_writable_bytes(std::span<char>(text.data(), text.size()));
}

std::string fixed32(std::int32_t value) {
  std::string bytes(4, '\0');
  encode_fixed32(reinterpret_cast<std::byte*>(bytes.data()), value);
  return bytes;
}

// Bytes that differ from their neighbours, so a shifted or repeated piece
// shows.
std::string pattern_bytes(std::size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  std::uint32_t state = seed;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 23);
  }
  return bytes;
}

struct ChildResult {
  int status = -1;
  std::string err;
};

// Runs `body` in a child process with standard error captured; for what ends
// the process (a fatal diagnostic, the end-of-run close). A body that returns
// exits 0.
template <typename Body>
ChildResult run_forked(Body body) {
  TempDir io;
  const std::string err_path = io.file("stderr");
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int out = ::open("/dev/null", O_WRONLY);
    ::dup2(err, 2);
    ::dup2(out, 1);
    ::close(err);
    ::close(out);
    body();
    ::_exit(0);
  }
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  ChildResult result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  result.err = read_file(err_path);
  return result;
}

// The start of standard error after a fatal diagnostic: the system error line
// when there is one, then the diagnostic line. A traceback may follow.
void expect_diagnostic(const std::string& err, const std::string& lines) {
  EXPECT_EQ(err.substr(0, lines.size()), lines) << "whole standard error:\n" << err;
}

std::string probe_binary() { return MAP_STREAM_PROBE; }

bool on_path(const std::string& program) {
  return testing::run_command({"sh", "-c", "command -v " + program}, "").status == 0;
}

class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& path) : m_old(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~CurrentDirectory() { std::filesystem::current_path(m_old); }

 private:
  std::filesystem::path m_old;
};

TEST(MapLayout, FixedIntegersAreLittleEndianTwosComplement) {
  struct Row {
    std::int32_t value;
    std::string bytes;
  };
  const std::vector<Row> rows = {
      {0, std::string("\x00\x00\x00\x00", 4)},
      {1, std::string("\x01\x00\x00\x00", 4)},
      {-1, "\xff\xff\xff\xff"},
      {0x12345678, "\x78\x56\x34\x12"},
      {INT_MAX, "\xff\xff\xff\x7f"},
      {INT_MIN, std::string("\x00\x00\x00\x80", 4)},
      {-2, "\xfe\xff\xff\xff"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    EXPECT_EQ(fixed32(row.value), row.bytes);
    EXPECT_EQ(decode_fixed32(reinterpret_cast<const std::byte*>(row.bytes.data())), row.value);
  }
}

TEST(MapStream, NamesAreTrimmedAndResolvedWithoutFollowingLinks) {
  TempDir dir;
  TempDir elsewhere;
  std::filesystem::create_directory(dir.file("sub"));
  std::filesystem::create_directory_symlink(elsewhere.path(), dir.file("link"));
  CurrentDirectory cwd(dir.path());
  struct Row {
    std::string given;
    std::string opened;  // relative to dir
  };
  const std::vector<Row> rows = {
      {"run.map", "run.map"},
      {"   run.map   ", "run.map"},
      {std::string("run.map  \0 \0\0", 13), "run.map"},
      {"my run.map", "my run.map"},
      {"sub/../run.map", "run.map"},
      {"./sub/./x.map", "sub/x.map"},
      {dir.path() + "//sub///x.map", "sub/x.map"},
      {"sub/../../" + std::filesystem::path(dir.path()).filename().string() + "/y.map", "y.map"},
      // Lexical: "link/.." is the directory holding the link, not the
      // parent of where the link points.
      {"link/../z.map", "z.map"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.given);
    auto stream = open_layer_map(row.given);
    EXPECT_EQ(stream->name(), dir.file(row.opened));
    EXPECT_TRUE(file_exists(dir.file(row.opened)));
  }
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
}

TEST(MapStream, LayerMapIsCreatedUnderTheUmaskAndAnExistingOneIsNotTruncated) {
  TempDir dir;
  const mode_t old_umask = ::umask(022);
  open_layer_map(dir.file("a.map")).reset();
  ::umask(0);
  open_layer_map(dir.file("b.map")).reset();
  ::umask(old_umask);
  struct stat status {};
  ASSERT_EQ(::stat(dir.file("a.map").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);
  EXPECT_EQ(status.st_size, 0);
  ASSERT_EQ(::stat(dir.file("b.map").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u);

  // Opening alone changes nothing; neither does opening it as the input.
  write_file(dir.file("old.map"), "old contents");
  open_layer_map(dir.file("old.map")).reset();
  open_input(dir.file("old.map")).reset();
  EXPECT_EQ(read_file(dir.file("old.map")), "old contents");
}

// A map file of 2 substances and 3 segments written piece by piece as the tool
// writes it, with titles and names carrying bytes above 0x7F and values whose
// bits are not-a-number patterns, infinities, signed zeros and subnormals.
TEST(MapStream, MapFileRoundTripsBitForBit) {
  TempDir dir;
  const std::string titles = padded("Run \xe9t\xe9 \xff", 40) + std::string(40, 'T') +
                             padded("", 40) + padded("layer 3", 40);
  const std::string names = padded("Oxy\xf8gen", 20) + padded("NH4", 20);
  const std::vector<std::uint32_t> values = {
      0x7F800001u,  // signalling NaN
      0xFF800001u,  // signalling NaN, sign set
      0x7FA00000u,  // signalling NaN, high payload
      0x7FC00000u,  // quiet NaN
      0xFFFFFFFFu,  // NaN, all bits
      0x80000000u,  // negative zero
      0x00000001u,  // smallest subnormal
      0x7F800000u,  // infinity
      0x3F800000u,  // 1.0
      0xFF7FFFFFu,  // lowest finite
      0x00000000u,
      0x807FFFFFu,  // largest negative subnormal
  };
  std::string block_values(values.size() * 4, '\0');
  for (std::size_t i = 0; i < values.size(); ++i) {
    encode_fixed32(reinterpret_cast<std::byte*>(block_values.data() + 4 * i),
                   static_cast<std::int32_t>(values[i]));
  }
  const std::string expected = titles + fixed32(2) + fixed32(3) + names + fixed32(3600) +
                               block_values + fixed32(7200) + block_values;

  {
    auto out = open_layer_map(dir.file("run.map"));
    const std::string counts = fixed32(2) + fixed32(3);
    write_map_items(*out, {bytes_of(titles).first(40), bytes_of(titles).subspan(40)});
    write_map_items(*out, {bytes_of(counts)});
    write_map_items(*out, {bytes_of(names)});
    for (std::int32_t itime : {3600, 7200}) {
      const std::string stamp = fixed32(itime);
      write_map_items(*out, {bytes_of(stamp), bytes_of(block_values)});
    }
  }
  ASSERT_EQ(read_file(dir.file("run.map")), expected);

  // Read back in the layout's own pieces.
  auto in = open_input(dir.file("run.map"));
  std::string read_titles(160, '\0'), notot(4, '\0'), noseg(4, '\0'), read_names(40, '\0');
  EXPECT_EQ(read_map_items(*in, {bytes_in(read_titles)}, EndOfFile::fatal), 0);
  EXPECT_EQ(read_map_items(*in, {bytes_in(notot), bytes_in(noseg)}, EndOfFile::fatal), 0);
  EXPECT_EQ(read_map_items(*in, {bytes_in(read_names)}, EndOfFile::fatal), 0);
  EXPECT_EQ(read_titles, titles);
  EXPECT_EQ(decode_fixed32(reinterpret_cast<const std::byte*>(notot.data())), 2);
  EXPECT_EQ(decode_fixed32(reinterpret_cast<const std::byte*>(noseg.data())), 3);
  EXPECT_EQ(read_names, names);
  for (std::int32_t itime : {3600, 7200}) {
    std::string stamp(4, '\0');
    std::vector<std::uint32_t> conc(values.size());
    EXPECT_EQ(read_map_items(*in, {bytes_in(stamp), std::as_writable_bytes(std::span(conc))},
                             EndOfFile::report),
              0);
    EXPECT_EQ(decode_fixed32(reinterpret_cast<const std::byte*>(stamp.data())), itime);
    EXPECT_EQ(conc, values);  // little-endian host: the words are the bits
  }
  std::string stamp(4, '\0');
  EXPECT_EQ(read_map_items(*in, {bytes_in(stamp)}, EndOfFile::report), -1);
}

// Consecutive reads take consecutive bytes whatever their item sizes: around
// the 8192-byte fetch, items that take whole fetches directly, and items that
// start in the middle of fetched bytes.
TEST(MapStream, ReadsSplitTheBytesAnyWay) {
  TempDir dir;
  const std::string content = pattern_bytes(70001);
  write_file(dir.file("in.map"), content);
  const std::vector<std::vector<std::size_t>> splits = {
      {1},
      {4, 160, 8},
      {8191, 1, 8192, 8193},
      {3, 16384, 7, 9000},
      {40000},
      {70001},
      {100000},
      {8192},
      {0, 5, 0},
  };
  for (const auto& split : splits) {
    SCOPED_TRACE(::testing::PrintToString(split));
    auto in = open_input(dir.file("in.map"));
    std::string got;
    for (std::size_t round = 0;; ++round) {
      // Each read moves the split's items as one operation.
      std::vector<std::string> items;
      for (std::size_t size : split) items.emplace_back(size, '\0');
      int status = 0;
      switch (items.size()) {
        case 1:
          status = read_map_items(*in, {bytes_in(items[0])}, EndOfFile::report);
          break;
        case 3:
          status = read_map_items(*in, {bytes_in(items[0]), bytes_in(items[1]), bytes_in(items[2])},
                                  EndOfFile::report);
          break;
        case 4:
          status = read_map_items(*in,
                                  {bytes_in(items[0]), bytes_in(items[1]), bytes_in(items[2]),
                                   bytes_in(items[3])},
                                  EndOfFile::report);
          break;
      }
      if (status == -1) break;
      ASSERT_EQ(status, 0);
      for (const auto& item : items) got += item;
      ASSERT_LT(round, content.size());
    }
    // What was read completely is the file's start, in order; the rest of
    // the file is the incomplete last operation.
    EXPECT_EQ(got, content.substr(0, got.size()));
    std::size_t operation = 0;
    for (std::size_t size : split) operation += size;
    EXPECT_EQ(got.size(), operation == 0 ? 0 : content.size() / operation * operation);
  }
}

TEST(MapStream, EndOfInputPartWayKeepsWhatArrivedAndLeavesTheRest) {
  TempDir dir;
  write_file(dir.file("in.map"), "0123456789");
  auto in = open_input(dir.file("in.map"));
  std::string first(4, 'x'), second(8, 'y'), third(4, 'z');
  EXPECT_EQ(read_map_items(*in, {bytes_in(first), bytes_in(second), bytes_in(third)},
                           EndOfFile::report),
            -1);
  EXPECT_EQ(first, "0123");
  EXPECT_EQ(second, "456789yy");
  EXPECT_EQ(third, "zzzz");
  // A clean end gives the same status, also to a read without items.
  EXPECT_EQ(read_map_items(*in, {bytes_in(first)}, EndOfFile::report), -1);
  EXPECT_EQ(read_map_items(*in, {}, EndOfFile::report), -1);
  EXPECT_EQ(first, "0123");
}

// A large item: whole fetches land straight in it; a file of 100000 bytes
// truncated in the middle of such an item gives -1 with the bytes there.
TEST(MapStream, EndOfInputInsideALargeItem) {
  TempDir dir;
  const std::string content = pattern_bytes(100000, 7);
  write_file(dir.file("in.map"), content);
  auto in = open_input(dir.file("in.map"));
  std::string stamp(4, '\0');
  std::string block(120000, '#');
  EXPECT_EQ(read_map_items(*in, {bytes_in(stamp), bytes_in(block)}, EndOfFile::report), -1);
  EXPECT_EQ(stamp + block.substr(0, 99996), content);
  EXPECT_EQ(block.substr(99996), std::string(120000 - 99996, '#'));
}

// With no substances the header ends right after noseg: reading the empty
// name list still asks for bytes, so a file that ends there has no data.
TEST(MapStream, EmptyReadAtTheEndOfTheInputMeetsTheEnd) {
  TempDir dir;
  const std::string header = std::string(160, 'T') + fixed32(0) + fixed32(10);
  for (bool one_more : {false, true}) {
    SCOPED_TRACE(one_more);
    write_file(dir.file("in.map"), header + (one_more ? "x" : ""));
    const ChildResult result = run_forked([&] {
      auto in = open_input(dir.file("in.map"));
      std::string titles(160, '\0'), counts(8, '\0');
      read_map_items(*in, {bytes_in(titles)}, EndOfFile::fatal);
      read_map_items(*in, {bytes_in(counts)}, EndOfFile::fatal);
      const int status = read_map_items(*in, {}, EndOfFile::report);
      if (status != (one_more ? 0 : -1)) ::_exit(100);
      read_map_items(*in, {}, EndOfFile::fatal);
    });
    if (one_more) {
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.err, "");
    } else {
      EXPECT_EQ(result.status, 24);
      expect_diagnostic(result.err, "plysect: severe (24): end-of-file during read, unit 10, file " +
                                        dir.file("in.map") + "\n");
    }
  }
}

TEST(MapStream, ReadWithoutStatusAtTheEndIsErrorTwentyFour) {
  TempDir dir;
  write_file(dir.file("empty.map"), "");
  std::filesystem::create_directory(dir.file("sub"));
  CurrentDirectory cwd(dir.path());
  const ChildResult result = run_forked([] {
    auto in = open_input("sub/../empty.map");
    std::string titles(160, '\0');
    read_map_items(*in, {bytes_in(titles)}, EndOfFile::fatal);
  });
  EXPECT_EQ(result.status, 24);
  // The diagnostic names the full path, not the name as given.
  expect_diagnostic(result.err, "plysect: severe (24): end-of-file during read, unit 10, file " +
                                    dir.file("empty.map") + "\n");
}

TEST(MapStream, FirstWriteCutsTheFileAfterItsOwnBytes) {
  TempDir dir;
  const std::string old = std::string(1000, 'o');
  struct Row {
    const char* what;
    std::vector<std::string> writes;  // one operation each; "" is an empty list
    std::string left;
  };
  const std::vector<Row> rows = {
      {"longer file cut to the new length", {"0123456789", "abc"}, "0123456789abc"},
      {"empty write after the first cuts nothing", {"0123", "", "45"}, "012345"},
      {"a first write without items still cuts", {"", "new"}, "new"},
      {"same length", {std::string(1000, 'n')}, std::string(1000, 'n')},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    write_file(dir.file("lay.map"), old);
    auto out = open_layer_map(dir.file("lay.map"));
    for (const auto& bytes : row.writes) {
      if (bytes.empty()) {
        write_map_items(*out, {});
      } else {
        write_map_items(*out, {bytes_of(bytes)});
      }
    }
    EXPECT_EQ(read_file(dir.file("lay.map")), row.left);
  }
}

// Bytes that another program appends after the first write are no business
// of a later write without items: it neither writes nor cuts.
TEST(MapStream, EmptyWriteAfterTheFirstLeavesTheFileAlone) {
  TempDir dir;
  write_file(dir.file("lay.map"), "old old old");
  auto out = open_layer_map(dir.file("lay.map"));
  write_map_items(*out, {bytes_of("new")});
  {
    std::ofstream other(dir.file("lay.map"), std::ios::binary | std::ios::app);
    other << "+appended";
  }
  write_map_items(*out, {});
  EXPECT_EQ(read_file(dir.file("lay.map")), "new+appended");
}

// One write operation of all `items`; an initializer list has its length at
// compile time.
template <std::size_t... I>
void write_all_items(MapStream& stream, const std::vector<std::span<const std::byte>>& items,
                     std::index_sequence<I...>) {
  write_map_items(stream, {items[I]...});
}

// One operation larger than a write piece, from items of mixed sizes, lands
// exactly; so does one with more items than a gathered write takes.
TEST(MapStream, LargeAndManyItemWritesLandInOrder) {
  TempDir dir;
  const std::string a = pattern_bytes(5, 1), b = pattern_bytes(600000, 2), c = pattern_bytes(3, 3);
  {
    auto out = open_layer_map(dir.file("big.map"));
    write_map_items(*out, {bytes_of(a), bytes_of(b), bytes_of(c)});
  }
  EXPECT_EQ(read_file(dir.file("big.map")), a + b + c);

  // 2100 items of one to three bytes, some empty: more than one gathered
  // write holds.
  const std::string text = pattern_bytes(4200, 4);
  std::vector<std::span<const std::byte>> items;
  for (std::size_t at = 0, i = 0; i < 2100; ++i) {
    const std::size_t size = std::min<std::size_t>(i % 4, text.size() - at);
    items.push_back(bytes_of(text).subspan(at, size));
    at += size;
  }
  auto out = open_layer_map(dir.file("many.map"));
  write_all_items(*out, items, std::make_index_sequence<2100>{});
  out.reset();
  EXPECT_EQ(read_file(dir.file("many.map")), text.substr(0, 3150));
}

// A stream that is read and then written goes on where the reads ended, not
// where the fetch ahead left the file position.
TEST(MapStream, WriteAfterReadContinuesAtTheReadPosition) {
  TempDir dir;
  write_file(dir.file("both.map"), "abcdefghij");
  auto stream = open_layer_map(dir.file("both.map"));
  std::string three(3, '\0');
  EXPECT_EQ(read_map_items(*stream, {bytes_in(three)}, EndOfFile::report), 0);
  write_map_items(*stream, {bytes_of("XY")});
  EXPECT_EQ(three, "abc");
  EXPECT_EQ(read_file(dir.file("both.map")), "abcXY");
}

// Offsets past 4 GiB: a sparse file read to beyond 4 GiB, then written and
// cut there (the write after reads is the only way a stream gets that far
// without writing 4 GiB).
TEST(MapStream, FilesLargerThanFourGibibytes) {
  TempDir dir;
  const std::string path = dir.file("huge.map");
  const off_t four_gib = off_t{1} << 32;
  {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, four_gib + 100), 0);
    ASSERT_EQ(::pwrite(fd, "MARK", 4, four_gib + 10), 4);
    ::close(fd);
  }
  auto stream = open_layer_map(path);
  std::vector<std::byte> piece(std::size_t{1} << 26);  // 64 MiB
  for (int i = 0; i < 64; ++i) {
    ASSERT_EQ(read_map_items(*stream, {std::span(piece)}, EndOfFile::fatal), 0);
  }
  std::string tail(14, '\0');
  ASSERT_EQ(read_map_items(*stream, {bytes_in(tail)}, EndOfFile::fatal), 0);
  EXPECT_EQ(tail, std::string(10, '\0') + "MARK");
  write_map_items(*stream, {bytes_of("written")});
  stream.reset();

  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_size, four_gib + 21);
  const int fd = ::open(path.c_str(), O_RDONLY);
  char back[11] = {};
  EXPECT_EQ(::pread(fd, back, 11, four_gib + 10), 11);
  ::close(fd);
  EXPECT_EQ(std::string(back, 11), "MARKwritten");
}

// A pipe as the input, as shell process substitution gives it, and a named
// FIFO, are read to their end; a FIFO as a layer map takes the bytes.
TEST(MapStream, PipesAndFifos) {
  ::alarm(60);  // a pipe opened the wrong way never ends: fail, do not hang
  TempDir dir;
  const std::string content = pattern_bytes(300000, 9);

  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::thread writer([&] {
    EXPECT_EQ(::write(ends[1], content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    ::close(ends[1]);
  });
  std::string got;
  {
    auto in = open_input("/dev/fd/" + std::to_string(ends[0]));
    EXPECT_TRUE(in->read_only());
    std::string chunk(7000, '\0');
    while (read_map_items(*in, {bytes_in(chunk)}, EndOfFile::report) == 0) got += chunk;
  }
  writer.join();
  ::close(ends[0]);
  EXPECT_EQ(got, content.substr(0, content.size() / 7000 * 7000));

  ASSERT_EQ(::mkfifo(dir.file("in.fifo").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo(dir.file("out.fifo").c_str(), 0644), 0);
  std::thread feeder([&] { write_file(dir.file("in.fifo"), content); });
  std::string drained;
  std::thread drain([&] { drained = read_file(dir.file("out.fifo")); });
  {
    auto in = open_input(dir.file("in.fifo"));
    auto out = open_layer_map(dir.file("out.fifo"));
    std::string chunk(1000, '\0');
    while (read_map_items(*in, {bytes_in(chunk)}, EndOfFile::report) == 0) {
      write_map_items(*out, {bytes_of(chunk)});
    }
  }
  feeder.join();
  drain.join();
  EXPECT_EQ(drained, content);
  ::alarm(0);
}

// A device as a layer map takes writes and is never cut (the cut would fail
// there), and it is not locked: the null device belongs to everybody.
TEST(MapStream, NullDeviceAsLayerMap) {
  auto first = open_layer_map("/dev/null", 11);
  auto second = open_layer_map("/dev/null", 12);
  const std::string block = pattern_bytes(1000);
  write_map_items(*first, {bytes_of(block)});
  write_map_items(*first, {bytes_of(block)});
  write_map_items(*second, {});
  EXPECT_FALSE(first->read_only());
}

struct OpenFailure {
  const char* what;
  OpenRule rule;
  std::string name;      // as given, relative to the directory
  int status;            // the error number
  std::string lines;     // what standard error starts with
  std::string not_made;  // a path that must not exist afterwards, relative
};

TEST(MapStream, OpenFailuresRaiseTheirDiagnosticAndCreateNothing) {
  TempDir dir;
  const std::string d = dir.path();
  write_file(dir.file("plain"), "x");
  std::filesystem::create_directory(dir.file("folder"));
  {
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, dir.file("socket").c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(sock);
  }
  const std::string long_component(256, 'n');
  const std::string too_long = "/" + std::string(256, 'x');
  const auto in = OpenRule::existing_only;
  const auto out = OpenRule::open_or_create;
  const std::vector<OpenFailure> rows = {
      {"missing input", in, "missing.map", 29,
       "plysect: severe (29): file not found, unit 11, file " + d + "/missing.map\n", "missing.map"},
      {"input in a missing directory", in, "nodir/in.map", 29,
       "plysect: severe (29): file not found, unit 11, file " + d + "/nodir/in.map\n", "nodir"},
      {"layer map in a missing directory", out, "nodir/lay.map", 29,
       "plysect: severe (29): file not found, unit 11, file " + d + "/nodir/lay.map\n", "nodir"},
      {"path through a file", out, "plain/lay.map", 29,
       "plysect: severe (29): file not found, unit 11, file " + d + "/plain/lay.map\n", ""},
      {"directory as input", in, "folder", 30,
       "plysect: Is a directory\nplysect: severe (30): open failure, unit 11, file " + d +
           "/folder\n",
       ""},
      {"directory as layer map", out, "folder/", 30,
       "plysect: Is a directory\nplysect: severe (30): open failure, unit 11, file " + d +
           "/folder/\n",
       ""},
      {"missing directory named with a slash", out, "newdir/", 30,
       "plysect: Is a directory\nplysect: severe (30): open failure, unit 11, file " + d +
           "/newdir/\n",
       "newdir"},
      {"socket", out, "socket", 42,
       "plysect: severe (42): no such device, unit 11, file " + d + "/socket\n", ""},
      {"full path over 256 characters", out, too_long, 43,
       "plysect: severe (43): file name specification error, unit 11, file " + too_long + "\n",
       ""},
      // The full path is too long, so the name is used as given, and the
      // system refuses its 256-character component.
      {"relative name with a too long component", out, long_component, 43,
       "plysect: severe (43): file name specification error, unit 11, file " + long_component +
           "\n",
       ""},
      {"NUL inside the name", out, std::string("a\0b.map", 7), 43,
       "plysect: severe (43): file name specification error, unit 11, file ", "a"},
      {"blank name", out, "", 43,
       "plysect: severe (43): file name specification error, unit 11, file \n", ""},
  };
  CurrentDirectory cwd(d);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const ChildResult result =
        run_forked([&] { open_map_stream(11, padded(row.name), row.rule); });
    EXPECT_EQ(result.status, row.status);
    expect_diagnostic(result.err, row.lines);
    if (!row.not_made.empty()) {
      EXPECT_FALSE(file_exists(dir.file(row.not_made)));
    }
  }
}

TEST(MapStream, SecondStreamOnTheSameFileIsRefused) {
  TempDir dir;
  write_file(dir.file("in.map"), "header");
  std::filesystem::create_directory(dir.file("sub"));
  const std::string refused = "plysect: Resource temporarily unavailable\n"
                              "plysect: severe (30): open failure, unit 12, file ";
  struct Row {
    const char* what;
    std::function<void()> body;
    std::string name_shown;
  };
  const std::vector<Row> rows = {
      {"the same layer twice",
       [&] {
         auto first = open_layer_map(dir.file("lay.map"), 11);
         write_map_items(*first, {bytes_of("header")});
         open_layer_map(dir.file("lay.map"), 12);
       },
       dir.file("lay.map")},
      {"an output name that resolves to the input",
       [&] {
         auto input = open_input(dir.file("in.map"));
         open_layer_map(dir.file("sub/../in.map"), 12);
       },
       dir.file("in.map")},
      {"a file another program holds",
       [&] {
         const int other = ::open(dir.file("in.map").c_str(), O_RDONLY);
         ::flock(other, LOCK_EX);
         open_layer_map(dir.file("in.map"), 12);
       },
       dir.file("in.map")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const ChildResult result = run_forked(row.body);
    EXPECT_EQ(result.status, 30);
    expect_diagnostic(result.err, refused + row.name_shown + "\n");
  }
  // The first stream kept what it wrote; the input kept its contents.
  EXPECT_EQ(read_file(dir.file("lay.map")), "header");
  EXPECT_EQ(read_file(dir.file("in.map")), "header");
}

TEST(MapStream, TooManyOpenFilesIsOpenFailureWithoutSystemLine) {
  TempDir dir;
  const ChildResult result = run_forked([&] {
    const rlimit limit{32, 32};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    while (::open("/dev/null", O_RDONLY) >= 0) {
    }
    open_layer_map(dir.file("lay.map"));
  });
  EXPECT_EQ(result.status, 30);
  expect_diagnostic(result.err,
                    "plysect: severe (30): open failure, unit 11, file " + dir.file("lay.map") + "\n");
  EXPECT_FALSE(file_exists(dir.file("lay.map")));
}

TEST(MapStream, WriteToTheFullDeviceIsErrorThirtyEight) {
  TempDir dir;
  std::filesystem::create_symlink("/dev/full", dir.file("lay.map"));
  const ChildResult result = run_forked([&] {
    auto out = open_layer_map(dir.file("lay.map"));
    write_map_items(*out, {bytes_of("titles")});
  });
  EXPECT_EQ(result.status, 38);
  expect_diagnostic(result.err, "plysect: No space left on device\n"
                                "plysect: severe (38): error during write, unit 11, file " +
                                    dir.file("lay.map") + "\n");
}

// The end-of-run close, run from another thread while a read waits on a
// pipe, closes the idle stream and skips the one held by the read.
TEST(MapStream, ReadHoldsItsStreamAgainstTheEndOfRunClose) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("in.fifo").c_str(), 0644), 0);
  const ChildResult result = run_forked([&] {
    const int writer = ::open(dir.file("in.fifo").c_str(), O_RDWR);  // keeps the pipe open
    auto in = open_input(dir.file("in.fifo"));
    auto out = open_layer_map(dir.file("lay.map"));
    std::atomic<pid_t> reader_id{0};
    std::thread reader([&] {
      reader_id = ::gettid();
      std::string titles(160, '\0');
      read_map_items(*in, {bytes_in(titles)}, EndOfFile::fatal);
    });
    reader.detach();
    // Wait until the reader sits in read(2), system call 0.
    for (int i = 0; i < 500; ++i) {
      if (reader_id != 0 &&
          read_file("/proc/self/task/" + std::to_string(reader_id) + "/syscall").starts_with("0 ")) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close_all_units();
    // Which of the two files still has a descriptor open?
    bool fifo_open = false, map_open = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      const auto target = std::filesystem::read_symlink(entry.path(), error).string();
      const int fd = std::stoi(entry.path().filename().string());
      if (target == dir.file("in.fifo") && fd != writer) fifo_open = true;
      if (target == dir.file("lay.map")) map_open = true;
    }
    ::_exit(fifo_open && !map_open ? 0 : 1);
  });
  EXPECT_EQ(result.status, 0) << result.err;
}

// ---------------------------------------------------------------------------
// The probe as a process of its own.

TEST(MapStreamProbe, CopiesWholeChunksOnly) {
  TempDir dir;
  const std::string content = pattern_bytes(10500);
  write_file(dir.file("in.map"), content);
  write_file(dir.file("out.map"), std::string(20000, 'o'));
  const auto result = testing::run_command(
      {probe_binary(), dir.file("in.map"), dir.file("out.map"), "1000"}, "");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  // The block cut short is not written; the old longer file is cut.
  EXPECT_EQ(read_file(dir.file("out.map")), content.substr(0, 10000));
}

// Fetches ask for at most 8192 bytes; a write goes out as one gathered call
// per operation, in pieces of at most 262144 bytes.
TEST(MapStreamProbe, SystemCallSizes) {
  if (!on_path("strace")) GTEST_SKIP() << "strace is not installed";
  TempDir dir;
  const std::string content = pattern_bytes(1300000);
  write_file(dir.file("in.map"), content);
  struct Row {
    const char* chunk;
    std::vector<long> write_sizes;
  };
  const std::vector<Row> rows = {
      {"1000000", {262144, 262144, 262144, 213568}},
      {"300000", {262144, 37856, 262144, 37856, 262144, 37856, 262144, 37856}},
      {"600000", {262144, 262144, 75712, 262144, 262144, 75712}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.chunk);
    const std::string log = dir.file("log");
    const auto result = testing::run_command(
        {"strace", "-o", log, "-s", "0", "-e", "trace=read,write,writev", "-P",
         dir.file("in.map"), "-P", dir.file("out.map"), probe_binary(), dir.file("in.map"),
         dir.file("out.map"), row.chunk},
        "");
    ASSERT_EQ(result.status, 0) << result.err;
    std::istringstream lines(read_file(log));
    std::string line;
    std::vector<long> writes;
    long reads = 0;
    const std::regex read_call(R"(^read\(\d+, .*, (\d+)\) += (\d+))");
    const std::regex write_call(R"(^writev\(\d+, .*\], (\d+)\) += (\d+))");
    std::smatch m;
    while (std::getline(lines, line)) {
      if (std::regex_search(line, m, read_call)) {
        EXPECT_LE(std::stol(m[1]), 8192) << line;
        ++reads;
      } else if (std::regex_search(line, m, write_call)) {
        writes.push_back(std::stol(m[2]));
      } else if (line.starts_with("write(")) {
        ADD_FAILURE() << "ungathered write: " << line;
      }
    }
    EXPECT_EQ(writes, row.write_sizes);
    EXPECT_GE(reads, 1300000 / 8192);
    EXPECT_EQ(read_file(dir.file("out.map")), content.substr(0, content.size() - content.size() % std::stoul(row.chunk)));
  }
}

// Under a file size limit the write that crosses it comes back short; the
// rest of its bytes are handed over again, and that write fails.
TEST(MapStreamProbe, ShortWriteIsContinued) {
  if (!on_path("prlimit")) GTEST_SKIP() << "prlimit is not installed";
  TempDir dir;
  const std::string content = pattern_bytes(10000, 3);
  write_file(dir.file("in.map"), content);
  const auto result = testing::run_command(
      {"sh", "-c", "trap '' XFSZ; exec prlimit --fsize=9500 \"$0\" \"$1\" \"$2\"",
       probe_binary(), dir.file("in.map"), dir.file("out.map")},
      "");
  EXPECT_EQ(result.status, 38);
  expect_diagnostic(result.err, "plysect: File too large\n"
                                "plysect: severe (38): error during write, unit 11, file " +
                                    dir.file("out.map") + "\n");
  EXPECT_EQ(read_file(dir.file("out.map")), content.substr(0, 9500));
}

struct InjectedFault {
  const char* what;
  std::vector<std::string> inject;  // strace -e arguments
  bool output_exists;               // out.map exists with old contents before the run
  int status;
  std::string lines;                // {in} and {out} stand for the two file names
  std::string out_after;            // contents of out.map afterwards; "-" for absent
};

std::string with_names(std::string text, const TempDir& dir) {
  for (auto [key, name] : {std::pair{"{in}", "in.map"}, std::pair{"{out}", "out.map"}}) {
    for (std::size_t at; (at = text.find(key)) != std::string::npos;) {
      text.replace(at, std::strlen(key), dir.file(name));
    }
  }
  return text;
}

TEST(MapStreamProbe, InjectedSystemCallFailures) {
  if (!on_path("strace")) GTEST_SKIP() << "strace is not installed";
  TempDir dir;
  const std::string content = pattern_bytes(30000, 5);
  const std::string old = std::string(40000, 'o');
  const std::string copied = content.substr(0, 30000);
  const std::vector<InjectedFault> rows = {
      // The first fetch of 8192 bytes gave eight chunks of 1000.
      {"second fetch fails", {"inject=read:error=EIO:when=2"}, false, 39,
       "plysect: Input/output error\nplysect: severe (39): error during read, unit 10, file {in}\n",
       content.substr(0, 8000)},
      {"interrupted fetches and writes are retried",
       {"inject=read:error=EINTR:when=1+2", "inject=writev:error=EINTR:when=1+2",
        "inject=flock:error=EINTR:when=1", "inject=ftruncate:error=EINTR:when=1"},
       true, 0, "", copied},
      {"write refused on a longer file leaves it uncut", {"inject=writev:error=ENOSPC"}, true, 38,
       "plysect: No space left on device\nplysect: severe (38): error during write, unit 11, file "
       "{out}\n",
       old},
      {"refused cut", {"inject=ftruncate:error=EIO"}, true, 38,
       "plysect: Input/output error\nplysect: severe (38): error during write, unit 11, file {out}\n",
       content.substr(0, 1000) + old.substr(1000)},
      {"lock refused on a file this open created", {"inject=flock:error=EAGAIN:when=2"}, false,
       30,
       "plysect: Resource temporarily unavailable\nplysect: severe (30): open failure, unit 11, "
       "file {out}\n",
       "-"},
      {"first open refused, read-only retry works", {"inject=openat:error=EACCES:when=2"}, true,
       47, "plysect: severe (47): write to READONLY file, unit 11, file {out}\n", old},
      {"both opens refused", {"inject=openat:error=EROFS:when=2+"}, true, 9,
       "plysect: severe (9): permission to access file denied, unit 11, file {out}\n", old},
      {"no such device", {"inject=openat:error=ENODEV:when=2"}, true, 42,
       "plysect: severe (42): no such device, unit 11, file {out}\n", old},
      {"other refusal", {"inject=openat:error=ETXTBSY:when=2"}, true, 30,
       "plysect: Text file busy\nplysect: severe (30): open failure, unit 11, file {out}\n", old},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    write_file(dir.file("in.map"), content);
    std::filesystem::remove(dir.file("out.map"));
    if (row.output_exists) write_file(dir.file("out.map"), old);
    // The probe opens the input before the output: with -P on both, the
    // input's openat is the first and the output's the second.
    std::vector<std::string> argv{"strace", "-o", "/dev/null", "-P", dir.file("in.map"),
                                  "-P", dir.file("out.map")};
    for (const auto& inject : row.inject) {
      argv.push_back("-e");
      argv.push_back(inject);
    }
    for (const auto& arg : {probe_binary(), dir.file("in.map"), dir.file("out.map")}) {
      argv.push_back(arg);
    }
    const auto result = testing::run_command(argv, "");
    EXPECT_EQ(result.status, row.status);
    expect_diagnostic(result.err, with_names(row.lines, dir));
    if (row.out_after == "-") {
      EXPECT_FALSE(file_exists(dir.file("out.map")));
    } else {
      EXPECT_EQ(read_file(dir.file("out.map")), row.out_after);
    }
    EXPECT_EQ(read_file(dir.file("in.map")), content);
  }
}

// Without the capabilities that let root past file permissions, as any other
// user: a read-only input is read, a read-only layer map is error 47 at its
// first write with its old contents kept, and a layer map in a read-only
// directory is error 9.
TEST(MapStreamProbe, FilePermissions) {
  if (!on_path("setpriv")) GTEST_SKIP() << "setpriv is not installed";
  TempDir dir;
  const std::string content = pattern_bytes(5000, 6);
  write_file(dir.file("in.map"), content);
  ::chmod(dir.file("in.map").c_str(), 0444);
  write_file(dir.file("ro.map"), "old contents");
  ::chmod(dir.file("ro.map").c_str(), 0444);
  std::filesystem::create_directory(dir.file("closed"));
  ::chmod(dir.file("closed").c_str(), 0555);
  ::chmod(dir.path().c_str(), 0755);

  const auto as_user = [&](const std::string& out) {
    return testing::run_command({"setpriv", "--bounding-set=-dac_override,-dac_read_search,-fowner",
                                 "--inh-caps=-all", probe_binary(), dir.file("in.map"), out},
                                "");
  };
  auto result = as_user(dir.file("copy.map"));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(read_file(dir.file("copy.map")), content);

  result = as_user(dir.file("ro.map"));
  EXPECT_EQ(result.status, 47);
  expect_diagnostic(result.err, "plysect: severe (47): write to READONLY file, unit 11, file " +
                                    dir.file("ro.map") + "\n");
  EXPECT_EQ(read_file(dir.file("ro.map")), "old contents");

  result = as_user(dir.file("closed/lay.map"));
  EXPECT_EQ(result.status, 9);
  expect_diagnostic(result.err,
                    "plysect: severe (9): permission to access file denied, unit 11, file " +
                        dir.file("closed/lay.map") + "\n");
  EXPECT_FALSE(file_exists(dir.file("closed/lay.map")));
}

// A write-protected medium: a read-only bind mount in a private mount
// namespace. The input there is read; a layer map there that exists is error
// 47, one that does not is error 9.
TEST(MapStreamProbe, WriteProtectedMedium) {
  if (!on_path("unshare")) GTEST_SKIP() << "unshare is not installed";
  TempDir dir;
  std::filesystem::create_directory(dir.file("ro"));
  const std::string content = pattern_bytes(5000, 8);
  write_file(dir.file("ro/in.map"), content);
  write_file(dir.file("ro/old.map"), "old contents");
  const std::string mount = "mount --bind ro ro && mount -o remount,bind,ro ro";
  if (testing::run_command({"unshare", "-m", "sh", "-c", mount}, "", dir.path()).status != 0) {
    GTEST_SKIP() << "no private read-only mounts here";
  }
  const auto probe = [&](const std::string& in, const std::string& out) {
    return testing::run_command(
        {"unshare", "-m", "sh", "-c", mount + " && exec \"$0\" \"$1\" \"$2\"", probe_binary(), in,
         out},
        "", dir.path());
  };
  auto result = probe(dir.file("ro/in.map"), dir.file("copy.map"));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(read_file(dir.file("copy.map")), content);

  result = probe(dir.file("ro/in.map"), dir.file("ro/old.map"));
  EXPECT_EQ(result.status, 47);
  expect_diagnostic(result.err, "plysect: severe (47): write to READONLY file, unit 11, file " +
                                    dir.file("ro/old.map") + "\n");
  EXPECT_EQ(read_file(dir.file("ro/old.map")), "old contents");

  result = probe(dir.file("ro/in.map"), dir.file("ro/new.map"));
  EXPECT_EQ(result.status, 9);
  expect_diagnostic(result.err,
                    "plysect: severe (9): permission to access file denied, unit 11, file " +
                        dir.file("ro/new.map") + "\n");
  EXPECT_FALSE(file_exists(dir.file("ro/new.map")));
}

}  // namespace
}  // namespace plysect

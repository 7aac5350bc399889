// Every system call of a run made to fail in turn, on the real binary: the
// opens of the input and of a layer map (and the read-only retry), each fetch
// of the input, the first and a later write of a layer map, the cut, the
// end-of-run close, a write of the console output and a read of the console
// input. strace injects the failure, confined to one file by -P; for a short
// write a file size limit or a small tmpfs fills up part-way through a write.
// Last, a console output left non-blocking whose reader falls behind.
//
// For each failure the run must end with its diagnostic line (after the
// system's text where the failure carries a system error), with the error
// number as exit status, and every layer map must hold exactly what a correct
// run had written up to that point: whole write operations, plus the part of
// the failed one that reached the file when it was cut short.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <spawn.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/map_fixture.h"
#include "tests/test_support.h"

extern char** environ;

namespace plysect {
namespace {

using testing::file_exists;
using testing::MapFixture;
using testing::read_file;
using testing::RunResult;
using testing::TempDir;
using testing::write_file;

// The run: 3 layers, map 1 (unit 11) shows layer 3 and map 2 (unit 12)
// layer 1, of an input with 2 substances and 600 segments in 4 blocks.
//
// Byte layout of the input: a 208-byte header, then blocks of 4804 bytes
// ending at 5012, 9816, 14620 and 19424. The input is fetched 8192 bytes at a
// time: fetch 1 holds the header, block 1 and the start of block 2; fetch 2
// completes blocks 2 and 3; fetch 3 block 4; fetch 4 finds the end.
//
// Byte layout of a layer map: titles (160 bytes), counts (8), names (40),
// then blocks of 1604 bytes, each written by one operation.
constexpr std::int32_t k_nlay = 3;
constexpr std::array<std::int32_t, 2> k_layers{3, 1};
constexpr std::size_t k_blocks = 4;
constexpr std::string_view k_answers = "3\n2\n3\n1\n";
constexpr std::size_t k_header_operations = 3;  // titles, counts, names

const MapFixture& fixture() {
  static const MapFixture made = testing::make_fixture(2, 600, k_blocks);
  return made;
}

std::string map_name(std::size_t map) {
  return "run-lay-" + std::to_string(k_layers[map]) + ".map";
}

// Old contents of a layer map that exists before the run: longer than the
// complete new map, so that a missing cut shows.
std::string old_contents(std::size_t map) {
  std::string old;
  while (old.size() < 8000) old += "old contents of map " + std::to_string(map + 1) + " ";
  return old;
}

// Where operation `operations` of a layer map ends: titles, counts, names,
// then one operation per block.
std::size_t operation_end(std::int32_t layer, std::size_t operations) {
  if (operations == 0) return 0;
  if (operations == 1) return 4 * 40;
  if (operations == 2) return 4 * 40 + 8;
  return fixture().layer_map(k_nlay, layer, operations - k_header_operations).size();
}

// What a layer map holds after the run.
struct MapAfter {
  enum class Kind {
    absent,       // no file
    old,          // the old contents, untouched
    written,      // whole operations and part of the next, cut after them
    written_uncut // the same over the old contents (the cut did not happen)
  };
  Kind kind = Kind::absent;
  std::size_t operations = 0;
  std::size_t partial = 0;  // bytes of the next operation that reached the file
};

MapAfter absent() { return {}; }
MapAfter untouched() { return {MapAfter::Kind::old}; }
MapAfter operations(std::size_t count, std::size_t partial = 0) {
  return {MapAfter::Kind::written, count, partial};
}
MapAfter header_and_blocks(std::size_t blocks, std::size_t partial = 0) {
  return operations(k_header_operations + blocks, partial);
}
MapAfter uncut(std::size_t count) { return {MapAfter::Kind::written_uncut, count}; }

std::string expected_bytes(const MapAfter& after, std::size_t map) {
  const std::int32_t layer = k_layers[map];
  if (after.kind == MapAfter::Kind::old) return old_contents(map);
  const std::string complete = fixture().layer_map(k_nlay, layer, k_blocks);
  const std::size_t size = operation_end(layer, after.operations) + after.partial;
  std::string bytes = complete.substr(0, size);
  const std::string old = old_contents(map);
  if (after.kind == MapAfter::Kind::written_uncut && old.size() > size) bytes += old.substr(size);
  return bytes;
}

void expect_map(const std::string& dir, std::size_t map, const MapAfter& after) {
  SCOPED_TRACE(map_name(map));
  const std::string path = dir + "/" + map_name(map);
  if (after.kind == MapAfter::Kind::absent) {
    EXPECT_FALSE(file_exists(path));
    return;
  }
  ASSERT_TRUE(file_exists(path));
  const std::string actual = read_file(path);
  const std::string expected = expected_bytes(after, map);
  EXPECT_EQ(actual.size(), expected.size());
  EXPECT_TRUE(actual == expected) << "the bytes differ";
}

// The start of standard error: the system error line where there is one,
// then the diagnostic line. A traceback may follow.
void expect_diagnostic(const std::string& err, const std::string& lines) {
  if (lines.empty()) {
    EXPECT_EQ(err, "");
  } else {
    EXPECT_EQ(err.substr(0, lines.size()), lines) << "whole standard error:\n" << err;
  }
}

// `text` with {in}, {map1} and {map2} replaced by the files' full paths.
std::string with_paths(std::string text, const TempDir& dir) {
  const std::array<std::pair<std::string, std::string>, 3> names{{
      {"{in}", dir.file("run.map")},
      {"{map1}", dir.file(map_name(0))},
      {"{map2}", dir.file(map_name(1))},
  }};
  for (const auto& [key, path] : names) {
    for (std::size_t at; (at = text.find(key)) != std::string::npos;) {
      text.replace(at, key.size(), path);
    }
  }
  return text;
}

bool on_path(const std::string& program) {
  return testing::run_command({"sh", "-c", "command -v " + program}, "").status == 0;
}

// Empty when strace can inject failures here; otherwise why not.
std::string injection_unavailable() {
  if (!on_path("strace")) return "strace is not installed";
  // cat must see its open of the null device refused.
  const RunResult probe = testing::run_command(
      {"strace", "-f", "-o", "/dev/null", "-P", "/dev/null", "-e", "inject=openat:error=EACCES",
       "--", "cat", "/dev/null"},
      "");
  if (probe.status != 0 && probe.err.find("Permission denied") != std::string::npos) return {};
  return "strace cannot inject system-call failures here (ptrace not permitted?): " + probe.err;
}

// A failure to provoke: strace injections confined to one file of the run
// directory, or a limit on the size of the files the run writes.
struct Fault {
  std::string file;                    // "stdout" and "answers" are the console streams
  std::vector<std::string> injections; // strace -e arguments
  long file_size_limit = 0;
};

Fault inject(std::string file, std::string injection) {
  return {std::move(file), {std::move(injection)}, 0};
}

Fault file_size_limit(long bytes) { return {"", {}, bytes}; }

// Runs plysect on run.map in `dir`, the answers from the file "answers" and
// the console output into the file "stdout", under `fault`; `trace` adds
// strace arguments that log without injecting.
RunResult run_in(const TempDir& dir, const Fault& fault,
                 const std::vector<std::string>& trace = {}) {
  std::vector<std::string> argv{"sh", "-c", "exec \"$@\" <answers >stdout", "sh"};
  if (!fault.injections.empty() || !trace.empty()) {
    argv.insert(argv.end(), {"strace", "-f"});
    if (trace.empty()) argv.insert(argv.end(), {"-o", "/dev/null"});
    argv.insert(argv.end(), trace.begin(), trace.end());
    if (!fault.file.empty()) argv.insert(argv.end(), {"-P", dir.file(fault.file)});
    for (const auto& injection : fault.injections) argv.insert(argv.end(), {"-e", injection});
    argv.push_back("--");
  }
  if (fault.file_size_limit > 0) {
    // Past the limit a write comes back short, and the next one fails with
    // EFBIG; the tool ignores SIGXFSZ itself, so it is not killed.
    argv.insert(argv.end(),
                {"prlimit", "--fsize=" + std::to_string(fault.file_size_limit), "--"});
  }
  argv.insert(argv.end(), {testing::plysect_binary(), "run.map"});
  return testing::run_command(argv, "", dir.path());
}

void prepare(const TempDir& dir, bool old_maps) {
  write_file(dir.file("run.map"), fixture().bytes());
  write_file(dir.file("answers"), k_answers);
  for (std::size_t map = 0; map < k_layers.size() && old_maps; ++map) {
    write_file(dir.file(map_name(map)), old_contents(map));
  }
}

// Which write(2) of the console output, counted from 1, shows the
// `occurrence`-th progress line, from a log of strace -e trace=write.
std::size_t progress_write(const std::string& log, std::size_t occurrence) {
  std::istringstream lines(log);
  std::string line;
  std::size_t writes = 0;
  std::size_t progress = 0;
  while (std::getline(lines, line)) {
    if (line.find("write(1, ") == std::string::npos) continue;
    ++writes;
    if (line.find("write(1, \"  D :") != std::string::npos && ++progress == occurrence) {
      return writes;
    }
  }
  return 0;
}

struct FaultCase {
  std::string what;
  Fault fault;
  bool old_maps;  // both layer maps exist, with old contents, before the run
  int status;
  std::string diagnostic;  // the start of standard error; empty: nothing at all
  std::array<MapAfter, 2> maps;
};

const std::string k_eio = "plysect: Input/output error\n";
const std::string k_enospc = "plysect: No space left on device\n";
const std::string k_read_error = "plysect: severe (39): error during read, unit ";
const std::string k_write_error = "plysect: severe (38): error during write, unit ";
const std::array<MapAfter, 2> k_none{absent(), absent()};
const std::array<MapAfter, 2> k_all_blocks{header_and_blocks(k_blocks),
                                           header_and_blocks(k_blocks)};

// The cases of one call site; skipped where strace cannot inject.
class InjectedFault : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = injection_unavailable(); !why.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(fixture().bytes().size(), 19424u) << "the fetch layout above no longer holds";

    // A correct run, its console output logged write by write.
    TempDir dir;
    prepare(dir, false);
    const RunResult run =
        run_in(dir, Fault{"stdout", {}, 0}, {"-o", dir.file("log"), "-e", "trace=write"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(run.err, "");
    for (std::size_t map = 0; map < k_layers.size(); ++map) {
      expect_map(dir.path(), map, header_and_blocks(k_blocks));
    }
    m_reference_out = read_file(dir.file("stdout"));
    m_second_progress_write = progress_write(read_file(dir.file("log")), 2);
    ASSERT_NE(m_second_progress_write, 0u) << read_file(dir.file("log"));
  }

  void run_cases(const std::vector<FaultCase>& cases) const {
    for (const FaultCase& c : cases) {
      SCOPED_TRACE(c.what);
      TempDir dir;
      prepare(dir, c.old_maps);
      const RunResult run = run_in(dir, c.fault);
      EXPECT_EQ(run.status, c.status) << run.err;
      expect_diagnostic(run.err, with_paths(c.diagnostic, dir));
      for (std::size_t map = 0; map < k_layers.size(); ++map) {
        expect_map(dir.path(), map, c.maps[map]);
      }
      EXPECT_TRUE(read_file(dir.file("run.map")) == fixture().bytes()) << "the input changed";
      // Nothing is shown that a correct run would not have shown up to there,
      // but for the bare line feed with which a traceback ends the console line.
      std::string out = read_file(dir.file("stdout"));
      if (c.status != 0 && out.ends_with('\n') && !out.ends_with("\r\n")) out.pop_back();
      EXPECT_EQ(out, m_reference_out.substr(0, out.size()));
      if (c.status == 0) {
        EXPECT_EQ(out, m_reference_out);
      }
    }
  }

  std::string m_reference_out;
  std::size_t m_second_progress_write = 0;  // the write(2) of the block 2 progress line
};

TEST_F(InjectedFault, InputOpen) {
  run_cases({
      {"read-write open refused, the read-only retry opens it",
       inject("run.map", "inject=openat:error=EACCES:when=1"), false, 0, "", k_all_blocks},
      {"write-protected medium, read-only retry",
       inject("run.map", "inject=openat:error=EROFS:when=1"), false, 0, "", k_all_blocks},
      {"both opens refused", inject("run.map", "inject=openat:error=EACCES:when=1+"), false, 9,
       "plysect: severe (9): permission to access file denied, unit 10, file {in}\n", k_none},
      {"missing", inject("run.map", "inject=openat:error=ENOENT"), false, 29,
       "plysect: severe (29): file not found, unit 10, file {in}\n", k_none},
      {"too many open files", inject("run.map", "inject=openat:error=EMFILE"), false, 30,
       "plysect: severe (30): open failure, unit 10, file {in}\n", k_none},
      {"other open failure", inject("run.map", "inject=openat:error=EIO"), false, 30,
       k_eio + "plysect: severe (30): open failure, unit 10, file {in}\n", k_none},
      {"locked by another program", inject("run.map", "inject=flock:error=EAGAIN"), false, 30,
       "plysect: Resource temporarily unavailable\n"
       "plysect: severe (30): open failure, unit 10, file {in}\n",
       k_none},
  });
}

// Faults on map 2: map 1 already holds its whole header.
TEST_F(InjectedFault, LayerMapOpen) {
  run_cases({
      {"read-write open refused, read-only retry, first write refused",
       inject(map_name(1), "inject=openat:error=EACCES:when=1"), true, 47,
       "plysect: severe (47): write to READONLY file, unit 12, file {map2}\n",
       {header_and_blocks(0), untouched()}},
      {"both opens of an existing map refused",
       inject(map_name(1), "inject=openat:error=EACCES:when=1+"), true, 9,
       "plysect: severe (9): permission to access file denied, unit 12, file {map2}\n",
       {header_and_blocks(0), untouched()}},
      {"both opens of a new map refused",
       inject(map_name(1), "inject=openat:error=EACCES:when=1+"), false, 9,
       "plysect: severe (9): permission to access file denied, unit 12, file {map2}\n",
       {header_and_blocks(0), absent()}},
      {"lock refused on the map this open created, which goes again",
       inject(map_name(1), "inject=flock:error=EAGAIN"), false, 30,
       "plysect: Resource temporarily unavailable\n"
       "plysect: severe (30): open failure, unit 12, file {map2}\n",
       {header_and_blocks(0), absent()}},
  });
}

TEST_F(InjectedFault, InputFetch) {
  const std::string failed = k_eio + k_read_error + "10, file {in}\n";
  run_cases({
      {"fetch 1 (the header)", inject("run.map", "inject=read:error=EIO:when=1"), false, 39,
       failed, k_none},
      {"fetch 2 (in block 2)", inject("run.map", "inject=read:error=EIO:when=2"), false, 39,
       failed, {header_and_blocks(1), header_and_blocks(1)}},
      {"fetch 3 (in block 4)", inject("run.map", "inject=read:error=EIO:when=3"), false, 39,
       failed, {header_and_blocks(3), header_and_blocks(3)}},
      {"fetch 4 (the one that would find the end)",
       inject("run.map", "inject=read:error=EIO:when=4"), false, 39, failed, k_all_blocks},
  });
}

// Operation 1 of a layer map is its titles, operation 4 block 1, 5 block 2.
TEST_F(InjectedFault, LayerMapWrite) {
  // The size limit that the block 3 write of map 1 crosses 1000 bytes in.
  const long limit =
      static_cast<long>(operation_end(k_layers[0], k_header_operations + 2)) + 1000;
  run_cases({
      {"first write (titles) fails on a new map",
       inject(map_name(1), "inject=writev:error=EIO:when=1"), false, 38,
       k_eio + k_write_error + "12, file {map2}\n", {header_and_blocks(0), operations(0)}},
      {"first write (titles) finds the disk full, the old map stays uncut",
       inject(map_name(1), "inject=writev:error=ENOSPC:when=1"), true, 38,
       k_enospc + k_write_error + "12, file {map2}\n", {header_and_blocks(0), untouched()}},
      {"block 1 write of map 1 finds the disk full",
       inject(map_name(0), "inject=writev:error=ENOSPC:when=4"), false, 38,
       k_enospc + k_write_error + "11, file {map1}\n",
       {header_and_blocks(0), header_and_blocks(0)}},
      {"block 2 write fails", inject(map_name(1), "inject=writev:error=EIO:when=5"), true, 38,
       k_eio + k_write_error + "12, file {map2}\n", {header_and_blocks(2), header_and_blocks(1)}},
      {"block 2 write finds the disk full",
       inject(map_name(1), "inject=writev:error=ENOSPC:when=5"), false, 38,
       k_enospc + k_write_error + "12, file {map2}\n",
       {header_and_blocks(2), header_and_blocks(1)}},
      {"block 3 write comes back short, then the file is too large", file_size_limit(limit),
       false, 38, "plysect: File too large\n" + k_write_error + "11, file {map1}\n",
       {header_and_blocks(2, 1000), header_and_blocks(2)}},
      // The cut right after the first write.
      {"the cut of an old map fails", inject(map_name(1), "inject=ftruncate:error=EIO"), true,
       38, k_eio + k_write_error + "12, file {map2}\n", {header_and_blocks(0), uncut(1)}},
      {"the cut of a new map fails", inject(map_name(0), "inject=ftruncate:error=EIO"), false,
       38, k_eio + k_write_error + "11, file {map1}\n", {operations(1), absent()}},
  });
}

// The end-of-run close goes in ascending unit order; the first failure ends
// the run at once.
TEST_F(InjectedFault, EndOfRunClose) {
  run_cases({
      {"the input", inject("run.map", "inject=close:error=EIO"), false, 28,
       "plysect: severe (28): CLOSE error, unit 10, file {in}\n", k_all_blocks},
      {"map 1", inject(map_name(0), "inject=close:error=EIO"), false, 28,
       "plysect: severe (28): CLOSE error, unit 11, file {map1}\n", k_all_blocks},
      {"map 2", inject(map_name(1), "inject=close:error=EIO"), true, 28,
       "plysect: severe (28): CLOSE error, unit 12, file {map2}\n", k_all_blocks},
  });
}

TEST_F(InjectedFault, Console) {
  const std::string progress_2 = std::to_string(m_second_progress_write);
  run_cases({
      {"output: the progress line of block 2",
       inject("stdout", "inject=write:error=EIO:when=" + progress_2), false, 38,
       k_eio + k_write_error + "-1, file CONOUT$\n",
       {header_and_blocks(1), header_and_blocks(1)}},
      {"output: the first line finds the disk full",
       inject("stdout", "inject=write:error=ENOSPC:when=1"), false, 38,
       k_enospc + k_write_error + "-1, file CONOUT$\n", k_none},
      {"output: no room yet on a descriptor left non-blocking",
       inject("stdout", "inject=write:error=EAGAIN:when=" + progress_2), false, 0, "",
       k_all_blocks},
      {"input: the first read", inject("answers", "inject=read:error=EIO:when=1"), false, 39,
       k_eio + k_read_error + "-4, file CONIN$\n", k_none},
  });
}

// A disk that fills up part-way through a write: the write comes back short,
// the rest of its bytes are handed over again, and that write fails. The
// layer maps lie on a tmpfs of 3 pages, mounted in a private mount namespace
// (the input stays outside, reached through a symbolic link). Each map holds
// header and blocks 1 and 2 (3416 bytes) in its first page; block 3 of map 1
// takes the third page, and block 3 of map 2 fits its first page only in part.
TEST(FaultInjection, ShortWriteThenDiskFull) {
  if (::sysconf(_SC_PAGESIZE) != 4096) GTEST_SKIP() << "the layout assumes pages of 4096 bytes";
  if (!on_path("unshare")) GTEST_SKIP() << "unshare is not installed";
  TempDir dir;
  std::filesystem::create_directory(dir.file("out"));
  const RunResult probe = testing::run_command(
      {"unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=4k tmpfs out", "sh"}, "", dir.path());
  if (probe.status != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs in a private mount namespace: " << probe.err;
  }

  prepare(dir, false);
  const RunResult run = testing::run_command(
      {"unshare", "-m", "sh", "-c",
       "mount -t tmpfs -o size=12k tmpfs out && ln -s ../run.map out/run.map && cd out && "
       "\"$@\" run.map <../answers >../stdout; status=$?; cp run-lay-*.map ..; exit $status",
       "sh", testing::plysect_binary()},
      "", dir.path());
  EXPECT_EQ(run.status, 38) << run.err;
  expect_diagnostic(run.err, "plysect: No space left on device\n"
                             "plysect: severe (38): error during write, unit 12, file " +
                                 dir.file("out/" + map_name(1)) + "\n");
  const std::size_t in_first_page = 4096 - operation_end(k_layers[1], k_header_operations + 2);
  expect_map(dir.path(), 0, header_and_blocks(3));
  expect_map(dir.path(), 1, header_and_blocks(2, in_first_page));
  EXPECT_TRUE(read_file(dir.file("run.map")) == fixture().bytes()) << "the input changed";
}

// Standard output left non-blocking by the parent, and a reader that falls
// behind: once the pipe is full a write finds no room (EAGAIN). The tool waits
// for room; the run completes and every line arrives.
TEST(FaultInjection, ConsoleOutputOnAFullNonBlockingPipe) {
  TempDir dir;
  // 4000 blocks: their progress lines are more than twice a pipe's 64 KiB.
  const MapFixture many = testing::make_fixture(1, 3, 4000);
  write_file(dir.file("run.map"), many.bytes());
  write_file(dir.file("answers"), k_answers);

  int pipe_ends[2];
  ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(pipe_ends[1], F_SETFL, ::fcntl(pipe_ends[1], F_GETFL) | O_NONBLOCK), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, dir.file("answers").c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, dir.file("stderr").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
  const std::string binary = testing::plysect_binary();
  char* argv[] = {const_cast<char*>(binary.c_str()), const_cast<char*>("run.map"), nullptr};
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_ends[1]);
  ASSERT_EQ(spawned, 0);

  // Read nothing until the pipe is full (or the run has ended), then all.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int queued = 0;
  while (::ioctl(pipe_ends[0], FIONREAD, &queued) == 0 && queued < 60000 &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GE(queued, 60000) << "the pipe never filled up";
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the tool meet the full pipe
  std::string out;
  char chunk[65536];
  for (ssize_t n; (n = ::read(pipe_ends[0], chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << std::strerror(errno);
    out.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(pipe_ends[0]);
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 0) << read_file(dir.file("stderr"));
  EXPECT_EQ(read_file(dir.file("stderr")), "");
  std::size_t progress = 0;
  for (auto at = out.find("  D :"); at != std::string::npos; at = out.find("  D :", at + 1)) {
    ++progress;
  }
  EXPECT_EQ(progress, 4000u);
  EXPECT_TRUE(read_file(dir.file(map_name(0))) == many.layer_map(k_nlay, k_layers[0], 4000));
}

}  // namespace
}  // namespace plysect

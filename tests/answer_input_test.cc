#include "console/answer_input.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"

extern char** environ;

namespace plysect {
namespace {

using Kind = AnswerOutcome::Kind;

// What one answer should give: a value, no value, or a failure's error number.
struct Expected {
  Kind kind;
  std::int32_t value = 0;
  int error = 0;
};

Expected gives(std::int32_t value) { return {Kind::value, value, 0}; }
const Expected k_unchanged{Kind::unchanged, 0, 0};
Expected fails(int error) { return {Kind::failed, 0, error}; }

std::string shown(const AnswerOutcome& outcome) {
  switch (outcome.kind) {
    case Kind::value: return "value " + std::to_string(outcome.value);
    case Kind::unchanged: return "unchanged";
    case Kind::failed: break;
  }
  return "error " + std::to_string(outcome.code & 0xFFFF);
}

std::string shown(const Expected& expected) {
  AnswerOutcome outcome;
  outcome.kind = expected.kind;
  outcome.value = expected.value;
  outcome.code = 0xC0000000u | static_cast<std::uint32_t>(expected.error);
  return shown(outcome);
}

// The bytes on standard input, then one expected outcome per answer read.
struct Row {
  std::string input;
  std::vector<Expected> answers;
};

// Shows control characters so a failing row can be read.
std::string visible(std::string_view bytes) {
  if (bytes.size() > 60) {
    return visible(bytes.substr(0, 30)) + "...(" + std::to_string(bytes.size()) + " bytes)";
  }
  std::string out;
  for (const char c : bytes) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) {
      out += "\\x" + std::to_string(static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<Row> answer_rows() {
  const std::string mb_and_a_half(1'500'000, ' ');
  const std::string quoted_2049 = "'" + std::string(2049, 'x') + "'\n";
  const std::string quoted_2050 = "'" + std::string(2050, 'x') + "'\n";
  // A doubled mark counts as one character of the text.
  const std::string quoted_2049_doubled = "'" + std::string(2048, 'x') + "'''\n";
  return {
      // The typed lines of the answer syntax, one answer each.
      {"5\n", {gives(5)}},
      {"  5  \n", {gives(5)}},
      {"5 7\n8\n", {gives(5), gives(8)}},
      {"5,\n", {gives(5)}},
      {"5/\n", {gives(5)}},
      {"1,000\n", {gives(1)}},
      {"\n", {fails(24)}},
      {"\n5\n", {gives(5)}},
      {",\n", {k_unchanged}},
      {", 5\n7\n", {k_unchanged, gives(7)}},
      {"/\n", {k_unchanged}},
      {"/5\n7\n", {k_unchanged, gives(7)}},
      {"3*5\n", {gives(5)}},
      {"3*\n", {k_unchanged}},
      {"3* 5\n", {k_unchanged}},
      {"5*\n", {k_unchanged}},
      {"*5\n", {fails(59)}},
      {"+5\n", {gives(5)}},
      {"-2\n", {gives(-2)}},
      {"007\n", {gives(7)}},
      {"5.0\n", {gives(5)}},
      {"5.\n", {gives(5)}},
      {"5.7\n", {gives(5)}},
      {"-2.9\n", {gives(-2)}},
      {"1e3\n", {gives(1000)}},
      {"1D3\n", {gives(1000)}},
      {".1E4\n", {gives(1000)}},
      {"1e10\n", {gives(1410065408)}},
      {"abc\n", {fails(59)}},
      {"5a\n", {fails(59)}},
      {"0x10\n", {fails(59)}},
      {"--5\n", {fails(59)}},
      {"5-\n", {fails(59)}},
      {"+\n", {fails(59)}},
      {".\n", {fails(59)}},
      {"1-2\n", {fails(64)}},
      {"T\n", {gives(-1)}},
      {"true\n", {gives(-1)}},
      {"ten\n", {gives(-1)}},
      {".t.\n", {gives(-1)}},
      {"F\n", {gives(0)}},
      {"false\n", {gives(0)}},
      {"five\n", {gives(0)}},
      {"2147483647\n", {gives(2147483647)}},
      {"-2147483648\n", {gives(-2147483647 - 1)}},
      {"2147483648\n", {fails(64)}},
      {"-2147483649\n", {fails(64)}},
      {"12345678901\n", {fails(64)}},
      {"'5'\n", {fails(64)}},
      {"\"5\"\n", {fails(64)}},
      {"(5\n", {gives(5)}},
      {")\n", {fails(59)}},
      {"((5\n", {fails(59)}},
      {"", {fails(24)}},
      {"\x1a\n", {fails(24)}},

      // Lines: empty and blank lines are passed over, a line ends at LF with
      // or without CR before it, the last line needs no LF, the input ends at
      // a Ctrl-Z line, bytes after the current line wait for the next answer.
      {"\n\n  \t \n\r\n5\n", {gives(5)}},
      {"5\r\n7\r\n", {gives(5), gives(7)}},
      {"5\n7", {gives(5), gives(7), fails(24)}},
      {"5 7", {gives(5), fails(24)}},
      {"5\r", {gives(5)}},
      {"5\r7\n", {gives(5)}},
      {"\t5\t7\n", {gives(5)}},
      {"\x1a", {fails(24)}},
      {"\x1a\r\n5\n", {fails(24)}},
      {"\n\x1a\n", {fails(24)}},
      {"\x1a\x1a\n", {fails(59)}},
      {"\x1a" "5\n", {fails(59)}},
      {mb_and_a_half + "42\n7\n", {gives(42), gives(7)}},
      {"42" + mb_and_a_half + "\n7\n", {gives(42), gives(7)}},
      {"1" + std::string(1'200'000, '0') + "\n", {fails(64)}},
      {std::string(1'200'000, '0') + "9\n", {gives(9)}},
      {"\n" + mb_and_a_half + "\n\n-3\n", {gives(-3)}},

      // Quoted text: closed on a later line, doubled marks, the length limit,
      // and never closed.
      {"'ab\ncd'\n5\n", {fails(64), gives(5)}},
      {"'it''s'\n", {fails(64)}},
      {"\"say \"\"5\"\"\"\n", {fails(64)}},
      {"'5\"\n", {fails(24)}},
      {"'abc\ndef\n\n", {fails(24)}},
      {quoted_2049, {fails(64)}},
      {quoted_2049_doubled, {fails(64)}},
      {quoted_2050, {fails(59)}},
      {"'" + std::string(5000, 'x'), {fails(59)}},
      {"'" + std::string(1000, 'x') + "\n" + std::string(1049, 'x') + "\n" + "x'\n",
       {fails(59)}},

      // Null answers and repeat counts.
      {"3*,\n", {k_unchanged}},
      {"3*\t5\n", {k_unchanged}},
      {"3*/\n", {k_unchanged}},
      {"-3*5\n", {gives(5)}},
      {"0*5\n", {gives(5)}},
      {"007*5\n", {gives(5)}},
      {"3*t\n", {gives(-1)}},
      {"3*(5\n", {gives(5)}},
      {"(3*5\n", {gives(5)}},
      {"(3*(5\n", {fails(59)}},
      {"3**5\n", {fails(59)}},
      {"3*)\n", {fails(59)}},
      {"3*'5'\n", {fails(64)}},
      {"99999999999*5\n", {fails(64)}},
      {"1.5*5\n", {fails(64)}},
      {"1-2*5\n", {fails(64)}},
      {"a*5\n", {fails(59)}},
      {"3*abc\n", {fails(59)}},

      // Parentheses and what follows them.
      {"( 5\n", {gives(5)}},
      {"(\n\n5\n", {gives(5)}},
      {"(", {fails(24)}},
      {"(,5\n", {k_unchanged}},
      {"(t\n", {gives(-1)}},
      {"5)\n", {gives(5)}},
      {"5(\n", {fails(59)}},

      // Logical words: only the letter counts.
      {".f\n", {gives(0)}},
      {"t5\n", {gives(-1)}},
      {"T*5\n", {gives(-1)}},
      {".x\n", {fails(59)}},
      {".\n", {fails(59)}},

      // Number tokens: the shape rules before any conversion.
      {"e5\n", {fails(59)}},
      {"+e5\n", {fails(59)}},
      {"1-e5\n", {fails(59)}},
      {"1e5e5\n", {fails(59)}},
      {"1..2\n", {fails(59)}},
      {"1.2.3\n", {fails(59)}},
      {"1e+\n", {fails(59)}},
      {"1e+-3\n", {fails(59)}},
      {"+-5\n", {fails(59)}},
      {std::string("\0", 1) + "\n", {fails(59)}},
      {"\xff\n", {fails(59)}},
      {"-1-2\n", {fails(64)}},
      {"5+\n", {fails(59)}},
      {"0000000000005\n", {gives(5)}},
      {"-0\n", {gives(0)}},

      // The floating form: truncated toward zero, low 32 bits of the 64-bit
      // integer; no 64-bit value (2^63 and beyond, beyond the double range)
      // gives 0.
      {"1e\n", {fails(64)}},
      {"1.5-3\n", {fails(64)}},
      {"1e5.5\n", {fails(64)}},
      {"1d+3\n", {gives(1000)}},
      {"1q3\n", {gives(1000)}},
      {"1Q-0\n", {gives(1)}},
      {"+1.5e1\n", {gives(15)}},
      {"+.5\n", {gives(0)}},
      {"-0.5\n", {gives(0)}},
      {"0.9999\n", {gives(0)}},
      {"-1e10\n", {gives(-1410065408)}},
      {"4294967295.0\n", {gives(-1)}},
      {"4294967296.5\n", {gives(0)}},
      {"2147483648.0\n", {gives(-2147483647 - 1)}},
      {"2147483647.9\n", {gives(2147483647)}},
      {"9.2233720368547748e18\n", {gives(-1024)}},
      {"9.3e18\n", {gives(0)}},
      {"-9.3e18\n", {gives(0)}},
      {"-9223372036854775808.0\n", {gives(0)}},
      {"1e400\n", {gives(0)}},
      {"-1e400\n", {gives(0)}},
      {"1e-400\n", {gives(0)}},
      {"1" + std::string(400, '0') + ".0\n", {gives(0)}},
      {"0." + std::string(100'000, '0') + "1e100005\n", {gives(10000)}},
  };
}

void check_answers(LineSource& lines, const Row& row) {
  for (std::size_t i = 0; i < row.answers.size(); ++i) {
    SCOPED_TRACE("answer " + std::to_string(i + 1));
    EXPECT_EQ(shown(parse_answer(lines)), shown(row.answers[i]));
  }
}

TEST(AnswerInput, AnswersFromLinesInMemory) {
  for (const Row& row : answer_rows()) {
    SCOPED_TRACE("input [" + visible(row.input) + "]");
    MemoryLineSource lines(row.input);
    check_answers(lines, row);
  }
}

// The same rows read from a file descriptor, with buffers that start small
// enough to be refilled, shifted and doubled in the middle of a line.
TEST(AnswerInput, AnswersFromAFileDescriptorWithAnyBufferSize) {
  testing::TempDir dir;
  const std::string path = dir.file("answers");
  for (const Row& row : answer_rows()) {
    SCOPED_TRACE("input [" + visible(row.input) + "]");
    testing::write_file(path, row.input);
    for (const std::size_t capacity : {std::size_t{1}, std::size_t{3}, LineReader::k_initial_capacity}) {
      SCOPED_TRACE("initial capacity " + std::to_string(capacity));
      const int fd = ::open(path.c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      LineReader lines(fd, capacity);
      check_answers(lines, row);
      ::close(fd);
    }
  }
}

// Lines that arrive in pieces, as from a terminal or a slow pipe: a read that
// ends inside a line does not end the line.
TEST(AnswerInput, LinesArrivingInPiecesThroughAPipe) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::thread writer([fd = ends[1]] {
    for (const std::string_view piece : {"  1", "2", "3 9", "\r", "\n-", "4\n\n", "\n7"}) {
      ASSERT_EQ(::write(fd, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
  });
  LineReader lines(ends[0], 2);
  const std::vector<std::string> got = {shown(parse_answer(lines)), shown(parse_answer(lines)),
                                        shown(parse_answer(lines)), shown(parse_answer(lines))};
  writer.join();
  ::close(ends[0]);
  EXPECT_EQ(got, (std::vector<std::string>{"value 123", "value -4", "value 7", "error 24"}));
}

TEST(AnswerInput, FailedReadReportsErrorThirtyNineWithTheSystemError) {
  testing::TempDir dir;
  struct Case {
    const char* what;
    int fd;
    int system_error;
  };
  const int directory = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(directory, 0);
  for (const Case& c : {Case{"a directory", directory, EISDIR}, Case{"a closed descriptor", 999, EBADF}}) {
    SCOPED_TRACE(c.what);
    LineReader lines(c.fd);
    const AnswerOutcome outcome = parse_answer(lines);
    EXPECT_EQ(outcome.kind, Kind::failed);
    EXPECT_EQ(outcome.code, k_error_during_read);
    EXPECT_EQ(outcome.system_error, c.system_error);
  }
  ::close(directory);
}

// read_answer in the real tool: the outcome becomes the stored value, or the
// fatal diagnostic on unit -4, file "CONIN$", with the error number as status.
TEST(AnswerInput, ReadAnswerFailuresEndTheRunWithTheirDiagnostic) {
  struct Case {
    std::string input;
    std::string first_lines;
    int status;
  };
  const std::vector<Case> cases = {
      {"", "plysect: severe (24): end-of-file during read, unit -4, file CONIN$\n", 24},
      {"\n \n", "plysect: severe (24): end-of-file during read, unit -4, file CONIN$\n", 24},
      {"4\n\x1a\n", "plysect: severe (24): end-of-file during read, unit -4, file CONIN$\n", 24},
      {"abc\n", "plysect: severe (59): list-directed I/O syntax error, unit -4, file CONIN$\n", 59},
      {"4\n'2'\n", "plysect: severe (64): input conversion error, unit -4, file CONIN$\n", 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("input [" + visible(c.input) + "]");
    testing::TempDir dir;
    const auto run = testing::run_plysect({"run.map"}, c.input, dir.path());
    EXPECT_EQ(run.err.substr(0, c.first_lines.size()), c.first_lines);
    EXPECT_EQ(run.status, c.status);
  }
}

TEST(AnswerInput, ReadErrorOnStandardInputGivesTheSystemErrorLine) {
  testing::TempDir dir;
  const auto run = testing::run_command(
      {"sh", "-c", "exec \"$0\" run.map <.", testing::plysect_binary()}, "", dir.path());
  const std::string lines =
      "plysect: Is a directory\n"
      "plysect: severe (39): error during read, unit -4, file CONIN$\n";
  EXPECT_EQ(run.err.substr(0, lines.size()), lines);
  EXPECT_EQ(run.status, 39);
}

#if defined(__SANITIZE_ADDRESS__)
#define PLYSECT_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PLYSECT_UNDER_ASAN 1
#endif
#endif

// A line that never ends (/dev/zero has no line feed) fills memory: error 22,
// not a crash. The address space is limited so that this comes quickly.
TEST(AnswerInput, LineTooLongForMemoryGivesErrorTwentyTwo) {
#ifdef PLYSECT_UNDER_ASAN
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#else
  testing::TempDir dir;
  const auto run = testing::run_command(
      {"sh", "-c", "ulimit -v 400000 && exec \"$0\" run.map </dev/zero", testing::plysect_binary()},
      "", dir.path());
  const std::string line = "plysect: severe (22): input record too long, unit -4, file CONIN$\n";
  EXPECT_EQ(run.err.substr(0, line.size()), line);
  EXPECT_EQ(run.status, 22);
#endif
}

// On a terminal hang-up the pending read fails with EIO a few milliseconds
// before SIGHUP comes: the reader gives the event handler about a second to
// end the run before it reports the failed read. Here no SIGHUP follows (the
// terminal is not the tool's controlling terminal), so error 39 comes late.
TEST(AnswerInput, TerminalReadErrorWaitsForTheHangUpBeforeReporting) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0) GTEST_SKIP() << "no pseudo-terminal here";
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string terminal = ::ptsname(master);
  testing::TempDir dir;
  const std::string out = dir.file("out"), err = dir.file("err");

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, terminal.c_str(), O_RDONLY | O_NOCTTY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
  posix_spawn_file_actions_addclose(&actions, master);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  const std::string binary = testing::plysect_binary();
  char* argv[] = {const_cast<char*>(binary.c_str()), const_cast<char*>("run.map"), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, binary.c_str(), &actions, &attr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);

  const std::string prompt = " Give total number of WQ layers : ";
  for (int i = 0; i < 1000 && testing::read_file(out).find(prompt) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into the read
  const auto hang_up = std::chrono::steady_clock::now();
  ::close(master);
  int wstatus = 0;
  ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
  const auto waited = std::chrono::steady_clock::now() - hang_up;

  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::seconds(10));
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 39);
  const std::string lines =
      "plysect: Input/output error\n"
      "plysect: severe (39): error during read, unit -4, file CONIN$\n";
  EXPECT_EQ(testing::read_file(err).substr(0, lines.size()), lines);
}

}  // namespace
}  // namespace plysect

#include "console/events.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "console/units.h"
#include "tests/map_fixture.h"
#include "tests/test_support.h"
#include "tests/traceback_lines.h"

namespace plysect {
namespace {

using testing::find_frame;
using testing::make_fixture;
using testing::MapFixture;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using testing::parse_traceback;
using testing::run_forked;
using testing::RunningCommand;
using testing::source_line_of;
using testing::Traceback;

using testing::EventCase;
using testing::k_events;

std::string event_line(const char* word) {
  return std::string("plysect: error (200): program aborting due to ") + word + " event\n";
}

// Blocks the main flow in a read that never completes, as at a prompt.
[[noreturn]] void wait_for_input_forever() {
  int never[2];
  if (::pipe(never) != 0) ::_exit(3);
  char byte = 0;
  while (::read(never[0], &byte, 1) < 0 && errno == EINTR) {
  }
  ::_exit(4);  // the end of input that cannot come
}

// Sends `signal` to the process from another thread a little later, while
// the main flow waits for input.
void send_soon(int signal) {
  std::thread([signal] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(::getpid(), signal);
  }).detach();
}

TEST(EventsDeathTest, ConsoleEventEndsTheRunWithItsDiagnosticAndStatus) {
  for (const auto& event : k_events) {
    SCOPED_TRACE(event.word);
    const auto result = run_forked([&] {
      install_event_handlers();
      send_soon(event.signal);
      wait_for_input_forever();
    });
    EXPECT_EQ(result.status, event.status);
    // A non-fatal diagnostic: no traceback, nothing on standard output.
    EXPECT_EQ(result.err, event_line(event.word));
    EXPECT_EQ(result.out, "");
  }
}

TEST(EventsDeathTest, EventInheritedAsIgnoredStaysIgnored) {
  // nohup, or a background job of a script: the event must not end the run.
  const auto result = run_forked([] {
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGINT, SIG_IGN);
    install_event_handlers();
    ::kill(::getpid(), SIGHUP);
    ::kill(::getpid(), SIGINT);
    send_soon(SIGQUIT);
    wait_for_input_forever();
  });
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, event_line("control-BREAK"));
}

TEST(EventsDeathTest, OtherSignalsKeepTheirDefaultCourse) {
  const auto result = run_forked([] {
    install_event_handlers();
    send_soon(SIGTERM);
    wait_for_input_forever();
  });
  EXPECT_EQ(result.status, 128 + SIGTERM);
  EXPECT_EQ(result.err, "");
}

// Registers unit 13 on a descriptor that is not open, so that closing it
// fails, and optionally holds it as a transfer in progress would.
TEST(EventsDeathTest, EventClosesTheUnitsThatNoTransferHolds) {
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "held" : "idle");
    const auto result = run_forked([held] {
      install_event_handlers();
      OpenUnit unit;
      unit.number = 13;
      unit.fd = 987;
      unit.name = "/x/run-lay-3.map";
      register_unit(unit);
      if (held) {
        UnitHold hold(unit);
        send_soon(SIGINT);
        wait_for_input_forever();
      }
      send_soon(SIGINT);
      wait_for_input_forever();
    });
    if (held) {
      // The close skipped the unit in the middle of its transfer.
      EXPECT_EQ(result.status, 130);
      EXPECT_EQ(result.err, event_line("control-C"));
    } else {
      // The close reached the unit, failed and ended the run with error 28,
      // whose traceback shows the event thread's close.
      EXPECT_EQ(result.status, 28);
      const Traceback traceback = parse_traceback(result.err);
      EXPECT_EQ(traceback.before,
                event_line("control-C") +
                    "plysect: severe (28): CLOSE error, unit 13, file /x/run-lay-3.map\n");
      if (!testing::k_have_traceback) continue;
      ASSERT_TRUE(traceback.has_header) << result.err;
      ASSERT_FALSE(traceback.frames.empty());
      EXPECT_EQ(traceback.frames[0].routine, "close_all_units");
      EXPECT_EQ(traceback.frames[0].source, "units.cc");
      EXPECT_NE(find_frame(traceback, "end_on_console_ev"), nullptr) << result.err;
    }
  }
}

TEST(Events, MachineExceptionClassification) {
  constexpr std::uintptr_t low = 0x7ff000000000;
  struct Case {
    const char* what;
    int signal;
    int si_code;
    std::uintptr_t address;
    DiagnosticCode code;
    long number;
  };
  const Case cases[] = {
      {"null write", SIGSEGV, SEGV_MAPERR, 8, k_access_violation, 0},
      {"write to read-only page", SIGSEGV, SEGV_ACCERR, 0x555500001000, k_access_violation, 0},
      {"just below the stack", SIGSEGV, SEGV_MAPERR, low - 12, k_stack_overflow, 0},
      {"a big frame below the stack", SIGSEGV, SEGV_MAPERR, low - k_stack_guard_size,
       k_stack_overflow, 0},
      {"beyond the guard", SIGSEGV, SEGV_MAPERR, low - k_stack_guard_size - 1,
       k_access_violation, 0},
      {"inside the stack", SIGSEGV, SEGV_ACCERR, low + 100, k_access_violation, 0},
      {"general protection", SIGSEGV, SI_KERNEL, 0, k_access_violation, 0},
      {"integer divide", SIGFPE, FPE_INTDIV, 0, k_integer_divide_by_zero, 0},
      {"integer overflow", SIGFPE, FPE_INTOVF, 0, k_other_exception, SIGFPE},
      {"float divide", SIGFPE, FPE_FLTDIV, 0, k_other_exception, SIGFPE},
      {"illegal instruction", SIGILL, ILL_ILLOPN, 0, k_other_exception, SIGILL},
      {"bus error", SIGBUS, BUS_ADRERR, 0x1000, k_other_exception, SIGBUS},
      {"breakpoint", SIGTRAP, SI_KERNEL, 0, k_other_exception, SIGTRAP},
      {"kill -SEGV", SIGSEGV, SI_USER, low - 12, k_other_exception, SIGSEGV},
      {"sigqueue SIGFPE", SIGFPE, SI_QUEUE, 0, k_other_exception, SIGFPE},
      {"tgkill SIGBUS", SIGBUS, SI_TKILL, 0, k_other_exception, SIGBUS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const MachineException exception =
        classify_machine_exception(c.signal, c.si_code, c.address, low);
    EXPECT_EQ(exception.code, c.code);
    EXPECT_EQ(exception.number, c.number);
  }
  // Without known stack bounds there is no stack overflow to tell.
  EXPECT_EQ(classify_machine_exception(SIGSEGV, SEGV_MAPERR, 8, 0).code, k_access_violation);
}

// ---------------------------------------------------------------------------
// The real binary, waiting at its first prompt, relaying, or busy writing.
// ---------------------------------------------------------------------------

constexpr std::string_view k_first_prompt = " \r\n Give total number of WQ layers : ";

// Starts the binary on run.map in `options.cwd` and waits until it waits for
// the first answer.
std::unique_ptr<RunningCommand> start_at_first_prompt(const RunningCommand::Options& options = {}) {
  auto run = std::make_unique<RunningCommand>(
      std::vector<std::string>{testing::plysect_binary(), "run.map"}, options);
  EXPECT_TRUE(run->wait_for_output(k_first_prompt)) << "no prompt";
  EXPECT_TRUE(run->wait_until_blocked_in({SYS_read})) << "no read of the answer";
  return run;
}

TEST(EventsBinary, ConsoleEventAtAPrompt) {
  for (const auto& event : k_events) {
    SCOPED_TRACE(event.word);
    auto run = start_at_first_prompt();
    run->send_signal(event.signal);
    const auto result = run->finish();
    EXPECT_EQ(result.status, event.status);
    EXPECT_EQ(result.err, event_line(event.word));
    // No traceback, so no line break after the open prompt either.
    EXPECT_EQ(result.out, k_first_prompt);
  }
}

// The relay waits for the rest of a time block from an input FIFO that the
// test holds open: five blocks are in every layer map when the event comes.
TEST(EventsBinary, ConsoleEventDuringTheRelay) {
  const MapFixture fixture = make_fixture(2, 6, 8);
  for (const auto& event : k_events) {
    SCOPED_TRACE(event.word);
    TempDir dir;
    ASSERT_EQ(::mkfifo(dir.file("run.map").c_str(), 0644), 0);
    const int input = ::open(dir.file("run.map").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(input, 0);
    std::string fed = fixture.header();
    for (std::size_t b = 0; b < 5; ++b) fed += fixture.block(b);
    fed += fixture.block(5).substr(0, 10);
    ASSERT_EQ(::write(input, fed.data(), fed.size()), static_cast<ssize_t>(fed.size()));

    RunningCommand::Options options;
    options.cwd = dir.path();
    RunningCommand run({testing::plysect_binary(), "run.map"}, options);
    run.send_input("2\n2\n1\n2\n");
    ASSERT_TRUE(run.wait_for_output("  D :", 5)) << "no five blocks relayed";
    ASSERT_TRUE(run.wait_until_blocked_in({SYS_read})) << "no read of the sixth block";
    run.send_signal(event.signal);
    const auto result = run.finish();
    ::close(input);
    EXPECT_EQ(result.status, event.status);
    EXPECT_EQ(result.err, event_line(event.word));
    EXPECT_EQ(read_file(dir.file("run-lay-1.map")), fixture.layer_map(2, 1, 5));
    EXPECT_EQ(read_file(dir.file("run-lay-2.map")), fixture.layer_map(2, 2, 5));
  }
}

// Layer map 2 is a FIFO whose reader does not read: the write of the first
// block stops when the pipe is full, and the event comes in the middle of
// that transfer. The close passes over the held unit, the other maps are
// whole, and layer map 2 holds its header and the block cut short.
TEST(EventsBinary, ConsoleEventInTheMiddleOfAWrite) {
  // 20000 segments per layer: 80004 bytes per block, more than a pipe holds.
  const MapFixture fixture = make_fixture(1, 40000, 2);
  TempDir dir;
  write_file(dir.file("run.map"), fixture.bytes());
  ASSERT_EQ(::mkfifo(dir.file("run-lay-2.map").c_str(), 0644), 0);
  const int reader = ::open(dir.file("run-lay-2.map").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const std::size_t header_size = fixture.layer_header(2, 2).size();

  RunningCommand::Options options;
  options.cwd = dir.path();
  RunningCommand run({testing::plysect_binary(), "run.map"}, options);
  run.send_input("2\n2\n1\n2\n");
  // The block is on its way into the pipe, where it does not fit: the write
  // waits.
  int held = 0;
  for (int tries = 0; tries < 2000 && held <= static_cast<int>(header_size); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::ioctl(reader, FIONREAD, &held);
  }
  ASSERT_GT(held, static_cast<int>(header_size)) << "the block never came";
  ASSERT_TRUE(run.wait_until_blocked_in({SYS_write, SYS_writev}));
  run.send_signal(SIGHUP);
  ASSERT_TRUE(run.wait_for_exit());
  const auto result = run.finish();
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, event_line("window-CLOSE"));

  EXPECT_EQ(read_file(dir.file("run-lay-1.map")), fixture.layer_map(2, 1, 1));
  std::string cut;
  char buffer[65536];
  for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) {
    cut.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(reader);
  const std::string whole = fixture.layer_map(2, 2, 1);
  ASSERT_GT(whole.size(), cut.size());
  EXPECT_GT(cut.size(), header_size);
  EXPECT_TRUE(cut == whole.substr(0, cut.size())) << "not the start of the layer map";
}

// Until the dialogue, the binary's only write is the usage line: with a full
// standard output pipe it waits in that write, as in a progress line when
// the console does not keep up.
std::unique_ptr<RunningCommand> start_blocked_in_write() {
  RunningCommand::Options options;
  options.full_output_pipe = true;
  auto run = std::make_unique<RunningCommand>(
      std::vector<std::string>{testing::plysect_binary()}, options);
  EXPECT_TRUE(run->wait_until_blocked_in({SYS_write})) << "the binary never blocked in its write";
  return run;
}

TEST(EventsBinary, ConsoleEventWhileWriting) {
  for (const auto& event : k_events) {
    SCOPED_TRACE(event.word);
    auto run = start_blocked_in_write();
    run->send_signal(event.signal);
    // Not reading: the blocked write must not complete before the end.
    ASSERT_TRUE(run->wait_for_exit()) << "no end after the event";
    const auto result = run->finish();
    EXPECT_EQ(result.status, event.status);
    EXPECT_EQ(result.err, event_line(event.word));
    EXPECT_EQ(result.out, "");
  }
}

// A fault signal sent by another process is no fault: error 172 with the
// signal's number, and the traceback shows where the main flow was.
TEST(EventsBinary, FaultSignalSentByAProcess) {
  auto run = start_at_first_prompt();
  run->send_signal(SIGSEGV);
  const auto result = run->finish();
  EXPECT_EQ(result.status, 172);
  const Traceback traceback = parse_traceback(result.err);
  EXPECT_EQ(traceback.before,
            "plysect: severe (172): Program Exception - exception code = 0xb (11)\n");
  if (!testing::k_have_traceback) {
    EXPECT_FALSE(traceback.has_header);
    EXPECT_EQ(result.out, k_first_prompt);
    return;
  }
  ASSERT_TRUE(traceback.has_header) << result.err;
  EXPECT_EQ(traceback.after, "") << result.err;
  const auto* answer = find_frame(traceback, "read_answer");
  ASSERT_NE(answer, nullptr) << result.err;
  EXPECT_EQ(answer->image, "plysect");
  EXPECT_EQ(answer->source, "answer_input.cc");
  const auto* dialogue = find_frame(traceback, "ask_run_settings");
  ASSERT_NE(dialogue, nullptr) << result.err;
  EXPECT_EQ(dialogue->source, "dialogue.cc");
  EXPECT_NE(find_frame(traceback, "run_plysect"), nullptr) << result.err;
  EXPECT_NE(find_frame(traceback, "main"), nullptr) << result.err;
  // The handler and the report are no part of it.
  for (const auto& frame : traceback.frames) {
    EXPECT_NE(frame.source, "events.cc") << frame.text;
    EXPECT_NE(frame.source, "termination.cc") << frame.text;
  }
  // The walk's line break ends the open prompt line.
  EXPECT_EQ(result.out, std::string(k_first_prompt) + "\n");
}

// Real faults inside the running tool: a preloaded library makes the read of
// the first answer fault.
TEST(EventsBinary, MachineExceptionInTheTool) {
  struct Case {
    const char* fault;
    std::string line;
    int status;
    const char* fault_routine;
  };
  const Case cases[] = {
      {"null-write", "plysect: severe (157): Program Exception - access violation\n", 157, "fault"},
      {"divide-by-zero", "plysect: severe (164): Program Exception - integer divide by zero\n",
       164, "fault"},
      {"trap", "plysect: severe (172): Program Exception - exception code = 0x4 (4)\n", 172,
       "fault"},
      {"stack-overflow", "plysect: severe (170): Program Exception - stack overflow\n", 170,
       "recurse"},
  };
  const int read_line = source_line_of("console/answer_input.cc", "::read(m_fd");
  ASSERT_GT(read_line, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    std::vector<std::string> argv{testing::plysect_binary(), "run.map"};
    const bool overflow = std::string_view(c.fault) == "stack-overflow";
    if (overflow) {
      // A small stack keeps the endless recursion short.
      argv.insert(argv.begin(), {"sh", "-c", "ulimit -s 1024 && exec \"$0\" \"$@\""});
    }
    RunningCommand::Options options;
    options.env = {"LD_PRELOAD=" PLYSECT_FAULT_SHIM, std::string("PLYSECT_FAULT=") + c.fault,
                   // The preloaded library is no sanitized code.
                   "ASAN_OPTIONS=verify_asan_link_order=0"};
    RunningCommand run(argv, options);
    const auto result = run.finish();
    EXPECT_EQ(result.status, c.status);
    const Traceback traceback = parse_traceback(result.err);
    EXPECT_EQ(traceback.before, c.line);
    if (!testing::k_have_traceback) {
      EXPECT_FALSE(traceback.has_header);
      EXPECT_EQ(result.out, k_first_prompt);
      continue;
    }
    ASSERT_TRUE(traceback.has_header) << result.err;
    ASSERT_FALSE(traceback.frames.empty()) << result.err;
    EXPECT_EQ(traceback.after, "") << result.err;
    // The walk starts at the faulting instruction.
    EXPECT_EQ(traceback.frames[0].routine, c.fault_routine) << result.err;
    EXPECT_EQ(traceback.frames[0].source, "fault_shim.cc");
    if (overflow) {
      // Endless frames: the traceback stops at 20, and nothing goes to
      // standard output after the prompt.
      EXPECT_EQ(traceback.frames.size(), 20u);
      EXPECT_EQ(result.out, k_first_prompt);
      continue;
    }
    // Then the tool's own routines, with their lines and sources.
    bool read_call_shown = false;
    for (const auto& frame : traceback.frames) {
      if (frame.image == "plysect" && frame.source == "answer_input.cc" &&
          frame.line == std::to_string(read_line)) {
        read_call_shown = true;
      }
    }
    EXPECT_TRUE(read_call_shown) << result.err;
    const auto* answer = find_frame(traceback, "read_answer");
    ASSERT_NE(answer, nullptr) << result.err;
    EXPECT_EQ(answer->source, "answer_input.cc");
    const auto* dialogue = find_frame(traceback, "ask_run_settings");
    ASSERT_NE(dialogue, nullptr) << result.err;
    EXPECT_EQ(dialogue->source, "dialogue.cc");
    const auto* driver = find_frame(traceback, "run_plysect");
    ASSERT_NE(driver, nullptr) << result.err;
    EXPECT_EQ(driver->source, "driver.cc");
    EXPECT_NE(find_frame(traceback, "main"), nullptr) << result.err;
    // The walk's line break ends the open prompt line.
    EXPECT_EQ(result.out, std::string(k_first_prompt) + "\n");
  }
}

}  // namespace
}  // namespace plysect

#include "console/traceback.h"

#include <gtest/gtest.h>

#include <cxxabi.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "console/events.h"
#include "console/termination.h"
#include "tests/test_support.h"
#include "tests/traceback_lines.h"

namespace plysect {
namespace {

using testing::find_frame;
using testing::parse_traceback;
using testing::run_forked;
using testing::source_line_of;
using testing::Traceback;

// This test binary's path (for tools that read its tables).
std::string test_binary() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

TEST(Traceback, RoutineNameIsTheRoutinesOwnName) {
  struct Case {
    const char* symbol;
    const char* name;
  };
  const Case cases[] = {
      {"_ZN7plysect11raise_fatalEjiSt17basic_string_viewIcSt11char_traitsIcEEi", "raise_fatal"},
      {"_ZN7plysect12_GLOBAL__N_113report_severeEjRKNS_16DiagnosticValuesEm", "report_severe"},
      {"_ZN7plysect8UnitHoldC2ERNS_8OpenUnitE", "UnitHold"},
      {"_ZN7plysect8UnitHoldD2Ev", "~UnitHold"},
      {"_ZN2ns1KC4Ev", "K"},  // the compiler's unified constructor
      {"_ZNSt6vectorIiSaIiEE9push_backERKi", "push_back"},
      {"_ZNSt6vectorIiSaIiEEC2Ev", "vector"},
      {"_ZNKSt8functionIFvvEEclEv", "operator()"},
      {"_ZlsRSoRKN7plysect4ItemE", "operator<<"},
      {"_ZZN7plysect3runEvENKUlvE_clEv", "run"},  // a lambda inside run()
      {"_ZN7plysect5writeILi3EEEvPKc", "write"},
      {"_ZN7plysect4findIZNS_3runEvEUlvE_EEvT_", "find"},
      {"_ZN7plysect4findIZNS_3runEvEUlvE0_EEvT_", "find"},  // the second lambda
      {"_ZNSt6thread11_State_implINS_8_InvokerISt5tupleIJZN7plysect12_GLOBAL__N_14testEvEUlvE_EEEEE6_M_runEv",
       "_M_run"},
      {"_ZThn8_N7plysect4Impl3runEv", "run"},
      {"_ZN7plysect4nameB5cxx11Ev", "name"},
      {"_ZL3barv", "bar"},
      {"_Z3fooi", "foo"},
      {"_ZN7plysect3fooEv.cold", "foo"},
      // Not C++, or not readable: shown as they are.
      {"main", "main"},
      {"__libc_start_call_main", "__libc_start_call_main"},
      {"_ZN7plysect3foo", "_ZN7plysect3foo"},
      {"_ZN99", "_ZN99"},
      {"_ZTV8UnitHold", "_ZTV8UnitHold"},
      {"_Z", "_Z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.symbol);
    char scratch[32];
    EXPECT_EQ(short_routine_name(c.symbol, scratch), c.name);
  }
  // A destructor's name is cut to the room it is given.
  char small[4];
  EXPECT_EQ(short_routine_name("_ZN7plysect8UnitHoldD2Ev", small), "~Uni");
}

// Every C++ routine of this test binary, ours, the standard library's and
// the test framework's: the name shown is part of the demangled name, and
// each of our own routines gets its name instead of its raw symbol.
TEST(Traceback, RoutineNameOfEverySymbolInThisBinary) {
  const auto listing = testing::run_command({"nm", "--defined-only", test_binary()}, "");
  ASSERT_EQ(listing.status, 0) << listing.err;
  std::istringstream lines(listing.out);
  std::string address, kind, symbol;
  int ours = 0;
  while (lines >> address >> kind >> symbol) {
    if (!symbol.starts_with("_Z") || (kind != "t" && kind != "T" && kind != "W")) continue;
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status), &std::free);
    if (status != 0) continue;
    const std::string full(demangled.get());
    char scratch[256];
    std::string name(short_routine_name(symbol, scratch));
    SCOPED_TRACE(symbol + " = " + full);
    if (name == "{lambda}") name = "{lambda";
    if (name == "{unnamed}") name = "{unnamed type";
    if (name.starts_with("operator")) name = "operator";
    EXPECT_NE(full.find(name), std::string::npos) << "shown as " << name;
    if (full.starts_with("plysect::")) {
      ++ours;
      EXPECT_NE(name, symbol);
    }
  }
  EXPECT_GT(ours, 50);
}

// The diagnostic and traceback that a failed transfer raised in a fresh
// thread, whose stack is shallow: the walk ends before the frame limit.
[[gnu::noinline]] void raise_end_of_file() {
  raise_fatal(k_end_of_file_during_read, 10, "/abs/run.map");  // raised here
}

TEST(TracebackDeathTest, FatalDiagnosticCarriesTracebackFromTheRaiser) {
  const auto result = run_forked([] { std::thread(raise_end_of_file).join(); });
  EXPECT_EQ(result.status, 24);
  const Traceback traceback = parse_traceback(result.err);
  EXPECT_EQ(traceback.before,
            "plysect: severe (24): end-of-file during read, unit 10, file /abs/run.map\n");
  if (!testing::k_have_traceback) {
    // Built without a stack walker: the traceback is left out entirely.
    EXPECT_FALSE(traceback.has_header);
    EXPECT_EQ(result.out, "");
    return;
  }
  ASSERT_TRUE(traceback.has_header) << result.err;
  ASSERT_GE(traceback.frames.size(), 3u) << result.err;
  EXPECT_LT(traceback.frames.size(), 20u) << result.err;
  // Everything after the header is a frame line; the walk reached the end.
  EXPECT_EQ(traceback.after, "") << result.err;
  // The walk ended before the frame limit: one line break on standard output.
  EXPECT_EQ(result.out, "\n");

  // The first frame is the raiser: the diagnostic machinery is left out.
  const auto& first = traceback.frames[0];
  EXPECT_EQ(first.image, "plysect_tests");
  EXPECT_EQ(first.routine, "raise_end_of_file");
  EXPECT_EQ(first.line,
            std::to_string(source_line_of("tests/traceback_test.cc", "// raised here")));
  EXPECT_EQ(first.source, "traceback_test.cc");
  for (const auto& frame : traceback.frames) {
    EXPECT_NE(frame.source, "termination.cc") << frame.text;
    EXPECT_NE(frame.source, "traceback.cc") << frame.text;
  }

  // The address is the offset within the image, as addr2line takes it.
  std::set<std::string> looked_up;
  for (const auto& frame : traceback.frames) {
    if (frame.image != "plysect_tests" || !looked_up.insert(frame.pc).second) continue;
    const auto where =
        testing::run_command({"addr2line", "-e", test_binary(), "0x" + frame.pc}, "");
    SCOPED_TRACE(frame.text + " / addr2line: " + where.out);
    const std::string expected = "/" + frame.source + ":" + frame.line;
    EXPECT_NE(where.out.find(expected), std::string::npos);
  }
}

// Recurses `depth` times before it raises the diagnostic.
[[gnu::noinline]] int nest_then_raise(int depth) {
  if (depth < 0) return 0;
  if (depth == 0) raise_fatal(k_error_during_read, 10, "/abs/run.map");  // raised at the bottom
  const int below = nest_then_raise(depth - 1);
  asm volatile("" ::: "memory");  // keeps each call a frame of its own
  return below + 1;
}

TEST(TracebackDeathTest, TracebackStopsAtTwentyFrames) {
  if (!testing::k_have_traceback) GTEST_SKIP() << "built without a stack walker";
  const auto result = run_forked([] { std::thread([] { nest_then_raise(30); }).join(); });
  EXPECT_EQ(result.status, 39);
  const Traceback traceback = parse_traceback(result.err);
  ASSERT_TRUE(traceback.has_header) << result.err;
  ASSERT_EQ(traceback.frames.size(), 20u) << result.err;
  EXPECT_EQ(traceback.after, "");
  // Cut short by the limit, not ended: nothing goes to standard output.
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(traceback.frames[0].line,
            std::to_string(source_line_of("tests/traceback_test.cc", "// raised at the bottom")));
  for (const auto& frame : traceback.frames) EXPECT_EQ(frame.routine, "nest_then_raise");
}

// The fatal diagnostic on the input header in a real run: an empty input.
TEST(TracebackBinary, EmptyInputFile) {
  testing::TempDir dir;
  testing::write_file(dir.file("empty.map"), "");
  const auto result = testing::run_plysect({"empty.map"}, "2\n2\n1\n2\n", dir.path());
  EXPECT_EQ(result.status, 24);
  const Traceback traceback = parse_traceback(result.err);
  EXPECT_EQ(traceback.before, "plysect: severe (24): end-of-file during read, unit 10, file " +
                                  dir.file("empty.map") + "\n");
  const std::string last_prompt = " Give lay number for 2D map no 2 : ";
  if (!testing::k_have_traceback) {
    EXPECT_FALSE(traceback.has_header);
    EXPECT_TRUE(result.out.ends_with(last_prompt)) << result.out;
    return;
  }
  ASSERT_TRUE(traceback.has_header) << result.err;
  EXPECT_LT(traceback.frames.size(), 20u);
  EXPECT_EQ(traceback.after, "") << result.err;
  // The first frame is the stream read that met the end; then the header
  // pass, the driver and main.
  ASSERT_FALSE(traceback.frames.empty());
  EXPECT_EQ(traceback.frames[0].image, "plysect");
  EXPECT_EQ(traceback.frames[0].source, "map_stream.cc");
  const auto* header_pass = find_frame(traceback, "run_header_pass");
  ASSERT_NE(header_pass, nullptr) << result.err;
  EXPECT_EQ(header_pass->source, "header_pass.cc");
  const auto* driver = find_frame(traceback, "run_plysect");
  ASSERT_NE(driver, nullptr) << result.err;
  EXPECT_EQ(driver->source, "driver.cc");
  const auto* main_frame = find_frame(traceback, "main");
  ASSERT_NE(main_frame, nullptr) << result.err;
  EXPECT_EQ(main_frame->source, "main.cc");
  // The walk's line break ends the line of the last prompt.
  EXPECT_TRUE(result.out.ends_with(last_prompt + "\n")) << result.out;
}

#if defined(__x86_64__)
// A routine whose frame chain is broken when it faults: its unwind
// information finds the caller's frame through %rbp, which it has set to 16.
// Walking past it makes the stack walker itself read address 16 and fault.
extern "C" void broken_frame();
// In a section of its own, outside the line table of this file's code.
asm(R"(
    .pushsection .text.broken_frame, "ax", @progbits
    .p2align 4
    .type broken_frame, @function
broken_frame:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    movq $16, %rbp
    movl $1, 8
    ud2
    .cfi_endproc
    .size broken_frame, .-broken_frame
    .popsection
)");

TEST(TracebackDeathTest, WalkThatFaultsEndsTheTracebackAbnormally) {
  if (!testing::k_have_traceback) GTEST_SKIP() << "built without a stack walker";
  const auto result = run_forked([] {
    install_event_handlers();
    broken_frame();
  });
  EXPECT_EQ(result.status, 157);
  const Traceback traceback = parse_traceback(result.err);
  EXPECT_EQ(traceback.before, "plysect: severe (157): Program Exception - access violation\n");
  ASSERT_TRUE(traceback.has_header) << result.err;
  // The faulting routine, named from the symbol table: it has no line
  // information. The walk stops right after it.
  ASSERT_EQ(traceback.frames.size(), 1u) << result.err;
  EXPECT_EQ(traceback.frames[0].routine, "broken_frame");
  EXPECT_EQ(traceback.frames[0].line, "Unknown");
  EXPECT_EQ(traceback.frames[0].source, "Unknown");
  EXPECT_EQ(traceback.after, "Stack trace terminated abnormally.\n");
  EXPECT_EQ(result.out, "\n");
}
#endif

}  // namespace
}  // namespace plysect

#include "console/termination.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

#include "console/diagnostic_text.h"
#include "console/events.h"
#include "console/units.h"
#include "tests/test_support.h"

namespace plysect {
namespace {

std::string diagnostic_line(DiagnosticCode code, const DiagnosticValues& values) {
  DiagnosticText text;
  append_diagnostic_line(text, code, values);
  return std::string(text.view());
}

TEST(Termination, DiagnosticLineForms) {
  struct Row {
    DiagnosticCode code;
    DiagnosticValues values;
    std::string line;
  };
  const std::vector<Row> rows = {
      {k_end_of_file_during_read, {10, "/abs/run.map"},
       "plysect: severe (24): end-of-file during read, unit 10, file /abs/run.map\n"},
      {k_end_of_file_during_read, {-4, "CONIN$"},
       "plysect: severe (24): end-of-file during read, unit -4, file CONIN$\n"},
      {k_error_during_write, {-1, "CONOUT$"},
       "plysect: severe (38): error during write, unit -1, file CONOUT$\n"},
      {k_permission_denied, {11, "/a"}, "plysect: severe (9): permission to access file denied, unit 11, file /a\n"},
      {k_close_error, {30, "/b"}, "plysect: severe (28): CLOSE error, unit 30, file /b\n"},
      {k_console_event, {0, "control-C"}, "plysect: error (200): program aborting due to control-C event\n"},
      {k_access_violation, {}, "plysect: severe (157): Program Exception - access violation\n"},
      {k_other_exception, {0, "", 7}, "plysect: severe (172): Program Exception - exception code = 0x7 (7)\n"},
      {k_other_exception, {0, "", 31}, "plysect: severe (172): Program Exception - exception code = 0x1f (31)\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(diagnostic_line(row.code, row.values), row.line);
  }
}

TEST(TerminationDeathTest, FatalDiagnosticExitsWithItsErrorNumber) {
  EXPECT_EXIT(raise_fatal(k_end_of_file_during_read, 10, "/abs/run.map"),
              ::testing::ExitedWithCode(24),
              "^plysect: severe \\(24\\): end-of-file during read, unit 10, file /abs/run.map\n");
  // A failure the system reported brings its own text on the line before.
  EXPECT_EXIT(raise_fatal(k_error_during_write, 11, "/x/run-lay-1.map", ENOSPC),
              ::testing::ExitedWithCode(38),
              "^plysect: No space left on device\nplysect: severe \\(38\\): error during write");
}

TEST(TerminationDeathTest, TerminationMessageIsOneLineAndStatusOne) {
  EXPECT_EXIT(end_run_with_message(" Nr layers too large !"), ::testing::ExitedWithCode(1),
              "^ Nr layers too large !\r\n$");
  EXPECT_EXIT(end_run(), ::testing::ExitedWithCode(0), "^$");
}

TEST(TerminationDeathTest, NonFatalDiagnosticReturns) {
  EXPECT_EXIT(
      {
        raise_diagnostic(k_console_event, {0, "control-BREAK"});
        end_run_with_message("after");
      },
      ::testing::ExitedWithCode(1),
      "^plysect: error \\(200\\): program aborting due to control-BREAK event\nafter\r\n$");
}

// Registers units 11 and 12, holds 12 as if a transfer were under way, runs
// the end-of-run close and exits 0 when 11 is closed and 12 is still open.
void close_with_unit_twelve_held(const testing::TempDir& dir) {
  OpenUnit closed_one;
  OpenUnit held_one;
  closed_one.number = 11;
  closed_one.fd = ::open(dir.file("a").c_str(), O_CREAT | O_RDWR, 0644);
  held_one.number = 12;
  held_one.fd = ::open(dir.file("b").c_str(), O_CREAT | O_RDWR, 0644);
  register_unit(closed_one);
  register_unit(held_one);
  UnitHold hold(held_one);
  close_all_units();
  const bool closed_one_open = ::fcntl(closed_one.fd, F_GETFD) != -1;
  const bool held_one_open = ::fcntl(held_one.fd, F_GETFD) != -1;
  ::_exit(!closed_one_open && held_one_open ? 0 : 1);
}

TEST(TerminationDeathTest, EndOfRunClosesUnitsAndSkipsHeldOnes) {
  // The directory belongs to the test: the child ends without cleaning up.
  testing::TempDir dir;
  EXPECT_EXIT(close_with_unit_twelve_held(dir), ::testing::ExitedWithCode(0), "");
}

TEST(TerminationDeathTest, FailedCloseIsErrorTwentyEight) {
  EXPECT_EXIT(
      {
        OpenUnit unit;
        unit.number = 13;
        unit.fd = 987;  // not open: close fails with EBADF
        unit.name = "/x/run-lay-3.map";
        register_unit(unit);
        end_run();
      },
      ::testing::ExitedWithCode(28),
      "^plysect: severe \\(28\\): CLOSE error, unit 13, file /x/run-lay-3.map\n");
}

// The main flow has begun to end the run when an interrupt arrives: the run
// ends as the main flow says, without an event line.
void end_with_message_while_an_event_arrives() {
  install_event_handlers();
  claim_end_of_run();
  ::kill(::getpid(), SIGINT);
  ::usleep(200 * 1000);  // time for the event thread to take the signal
  end_run_with_message("refused");
}

TEST(TerminationDeathTest, EventDuringTheEndOfTheRunPrintsNothing) {
  EXPECT_EXIT(end_with_message_while_an_event_arrives(), ::testing::ExitedWithCode(1),
              "^refused\r\n$");
}

}  // namespace
}  // namespace plysect

// The run's safety frame, installed first thing at start-up: console events
// (interrupt, break, window close) end the run with diagnostic 200, and a
// machine exception becomes a fatal diagnostic instead of a silent crash.
//
// Console events arrive as signals: SIGINT is control-C (exit status 130),
// SIGQUIT control-BREAK (1), SIGHUP window-CLOSE (2). They are blocked in
// every thread and taken by a thread of their own, which prints the
// diagnostic, closes every unit that is not in the middle of a transfer and
// ends the process while the main flow may still be waiting or writing. An
// event signal that the tool inherited as ignored (nohup, a background job
// of a script) stays ignored. Every other signal keeps its default course.
//
// Machine exceptions arrive as SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP and
// SIGSYS, handled on an alternate stack so that a stack overflow can be
// reported too.
#pragma once

#include <cstdint>

#include "console/termination.h"

namespace plysect {

// Installs the console-event handler and the last-resort exception report.
// Call once, before any thread is started and before anything is printed.
void install_event_handlers();

// How a machine exception is reported: its diagnostic code and the number
// that error 172 shows.
struct MachineException {
  DiagnosticCode code;
  long number = 0;
};

// Below the lowest address of the main thread's stack, this many bytes count
// as its guard: a fault there is the stack running over.
inline constexpr std::uintptr_t k_stack_guard_size = 64 * 1024;

// Classifies a fault signal from its siginfo. `si_code` <= 0 marks a signal
// that a process sent (kill): no fault took place, and it is reported as
// error 172 with the signal number, like any fault that has no error of its
// own. `main_stack_low` is the lowest address of the main thread's stack
// (0: unknown). The bounds trap (161) exists only where the platform reports
// it: x86-64 Linux has no such trap, and SEGV_BNDERR came only from MPX.
MachineException classify_machine_exception(int signal, int si_code,
                                            std::uintptr_t fault_address,
                                            std::uintptr_t main_stack_low);

}  // namespace plysect

#include "console/events.h"

#include <array>
#include <atomic>
#include <csignal>
#include <pthread.h>
#include <string_view>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include "console/traceback.h"
#include "console/units.h"

namespace plysect {

namespace {

struct ConsoleEvent {
  int signal;
  std::string_view word;
  int exit_status;
};

constexpr std::array k_console_events{
    ConsoleEvent{SIGINT, "control-C", 130},
    ConsoleEvent{SIGQUIT, "control-BREAK", 1},
    ConsoleEvent{SIGHUP, "window-CLOSE", 2},
};

// The signals by which the system reports a fault of the running code.
constexpr std::array k_fault_signals{SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

// Room for the report of a stack overflow: the diagnostic, the walk of the
// stack (whose first one reads the debug information) and the close.
constexpr std::size_t k_alternate_stack_size = 256 * 1024;

std::uintptr_t g_main_stack_low = 0;

// The thread that runs the report of a machine exception, and its code.
std::atomic<pid_t> g_reporting_thread{0};
std::atomic<DiagnosticCode> g_reported_code{k_other_exception};

sigset_t fault_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : k_fault_signals) sigaddset(&set, signal);
  return set;
}

// Gives the calling thread an alternate signal stack, with an inaccessible
// page below it so that running over it faults instead of overwriting memory.
// Without one (no memory at start-up) a fault is still reported, except a
// stack overflow.
void install_alternate_stack() {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  void* base = ::mmap(nullptr, k_alternate_stack_size + page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (base == MAP_FAILED) return;
  ::mprotect(base, page, PROT_NONE);
  stack_t stack{};
  stack.ss_sp = static_cast<char*>(base) + page;
  stack.ss_size = k_alternate_stack_size;
  ::sigaltstack(&stack, nullptr);
}

void record_main_stack() {
  pthread_attr_t attributes;
  if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return;
  void* low = nullptr;
  std::size_t size = 0;
  if (::pthread_attr_getstack(&attributes, &low, &size) == 0) {
    g_main_stack_low = reinterpret_cast<std::uintptr_t>(low);
  }
  ::pthread_attr_destroy(&attributes);
}

std::uintptr_t fault_pc(const void* context) {
  const auto* machine = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<std::uintptr_t>(machine->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<std::uintptr_t>(machine->uc_mcontext.pc);
#else
  (void)machine;
  return 0;  // the traceback then starts at the handler
#endif
}

// ---------------------------------------------------------------------------
// Signal handler: from here to the end of on_machine_exception only code that
// is safe in a handler runs (no heap, no locks that the faulting code might
// hold). The report itself (raise_exception_diagnostic) keeps to that too.
// ---------------------------------------------------------------------------
void on_machine_exception(int signal, siginfo_t* info, void* context) {
  // A fault of the stack walk itself ends the walk, not the report.
  abandon_traceback_after_fault();

  const MachineException exception = classify_machine_exception(
      signal, info->si_code, reinterpret_cast<std::uintptr_t>(info->si_addr), g_main_stack_low);
  const pid_t self = ::gettid();
  pid_t reporting = 0;
  if (!g_reporting_thread.compare_exchange_strong(reporting, self)) {
    // A fault inside the report: its diagnostic is out or never will be.
    if (reporting == self) ::_exit(static_cast<int>(g_reported_code.load()));
    for (;;) ::pause();  // another thread reports and ends the process
  }
  g_reported_code.store(exception.code);
  raise_exception_diagnostic(exception.code, DiagnosticValues{0, {}, exception.number, 0},
                             fault_pc(context));
}

void install_fault_handlers() {
  struct sigaction action {};
  action.sa_sigaction = on_machine_exception;
  // SA_NODEFER: a fault of the stack walk inside the handler must reach the
  // handler again, so that the walk is abandoned instead of the process
  // being killed.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (const int signal : k_fault_signals) ::sigaction(signal, &action, nullptr);
}

// ---------------------------------------------------------------------------
// Console events.
// ---------------------------------------------------------------------------

[[noreturn]] void end_on_console_event(const ConsoleEvent& event) {
  // This thread kept the fault signals blocked while it waited (see
  // start_event_thread); a fault of its own from here on is reported.
  const sigset_t faults = fault_signal_set();
  ::pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
  // Waits for the end of the process instead when the main flow has begun
  // to end the run itself: the run then ends as the main flow says.
  claim_end_of_run();
  raise_diagnostic(k_console_event, DiagnosticValues{0, event.word});
  close_all_units();
  ::_exit(event.exit_status);
}

void* run_event_thread(void* argument) {
  const sigset_t events = *static_cast<const sigset_t*>(argument);
  install_alternate_stack();
  for (;;) {
    int signal = 0;
    if (::sigwait(&events, &signal) != 0) continue;
    for (const auto& event : k_console_events) {
      if (event.signal == signal) end_on_console_event(event);
    }
  }
}

// The console events to take: those not inherited as ignored. A script's
// background job starts with SIGINT and SIGQUIT ignored, so that control-C
// on the terminal does not reach it, and nohup ignores SIGHUP: an event
// handler would undo both.
sigset_t console_event_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const auto& event : k_console_events) {
    struct sigaction current {};
    if (::sigaction(event.signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
      continue;
    }
    sigaddset(&set, event.signal);
  }
  return set;
}

void start_event_thread() {
  static sigset_t events;
  events = console_event_set();
  if (sigisemptyset(&events)) return;
  ::pthread_sigmask(SIG_BLOCK, &events, nullptr);

  // The event thread starts with the fault signals blocked as well: a fault
  // signal sent to the process (kill -SEGV) then reaches the main thread,
  // whose traceback shows where the main flow was.
  const sigset_t faults = fault_signal_set();
  sigset_t main_mask;
  ::pthread_sigmask(SIG_BLOCK, &faults, &main_mask);
  pthread_attr_t attributes;
  ::pthread_attr_init(&attributes);
  ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int failed = ::pthread_create(&thread, &attributes, run_event_thread, &events);
  ::pthread_attr_destroy(&attributes);
  ::pthread_sigmask(SIG_SETMASK, &main_mask, nullptr);
  // Without the thread the events keep their default course: blocked, they
  // would be lost.
  if (failed != 0) ::pthread_sigmask(SIG_UNBLOCK, &events, nullptr);
}

bool at_stack_guard(std::uintptr_t address, std::uintptr_t stack_low) {
  return stack_low != 0 && address < stack_low && stack_low - address <= k_stack_guard_size;
}

}  // namespace

MachineException classify_machine_exception(int signal, int si_code,
                                            std::uintptr_t fault_address,
                                            std::uintptr_t main_stack_low) {
  const MachineException other{k_other_exception, signal};
  if (si_code <= 0) return other;  // sent by a process; the address means nothing
  switch (signal) {
    case SIGFPE:
      return si_code == FPE_INTDIV ? MachineException{k_integer_divide_by_zero} : other;
    case SIGSEGV:
#ifdef SEGV_BNDERR
      if (si_code == SEGV_BNDERR) return MachineException{k_array_bounds};
#endif
      if (at_stack_guard(fault_address, main_stack_low)) return MachineException{k_stack_overflow};
      return MachineException{k_access_violation};
    default:
      return other;
  }
}

void install_event_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  prepare_traceback();
  record_main_stack();
  install_alternate_stack();
  install_fault_handlers();
  start_event_thread();
}

}  // namespace plysect

// The registry of open units: every map stream registers itself here under its
// unit number, so the end-of-run close can find and close it. A transfer holds
// its unit for its whole length; the close skips a held unit. A unit that the
// close has taken stays taken: a transfer that starts on it afterwards waits
// for the process to end instead of touching a closed descriptor.
#pragma once

#include <atomic>
#include <string>

namespace plysect {

inline constexpr int k_max_unit_number = 63;

struct OpenUnit {
  enum State : int { idle = 0, held = 1, closed = 2 };

  int number = 0;
  int fd = -1;
  std::string name;  // the name shown in diagnostics; fixed once registered
  std::atomic<int> state{idle};
};

// Registers `unit` (number 0 to k_max_unit_number, not yet registered).
void register_unit(OpenUnit& unit);
// Forgets `unit`; it is not closed. For streams that go away before the end.
void unregister_unit(OpenUnit& unit);

// Holds a unit for the length of one transfer.
class UnitHold {
 public:
  explicit UnitHold(OpenUnit& unit);
  ~UnitHold();
  UnitHold(const UnitHold&) = delete;
  UnitHold& operator=(const UnitHold&) = delete;

 private:
  OpenUnit& m_unit;
};

// Claims the end of the run for the calling thread, so that only one way of
// ending (a normal end, a refusal, a diagnostic, a console event) prints
// anything. Returns at once when this thread holds the claim already; waits
// for the process to end when another thread holds it.
void claim_end_of_run();

// Claims the end of the run, then visits the registered units in ascending
// number and closes each one that is not held. Runs at most once per process:
// a second call on the thread that runs the close returns at once (the caller
// then ends the process).
void close_all_units();

}  // namespace plysect

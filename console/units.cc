#include "console/units.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "console/termination.h"

namespace plysect {

namespace {

std::array<std::atomic<OpenUnit*>, k_max_unit_number + 1> g_units{};
std::atomic<bool> g_end_claimed{false};

// How far the calling thread has come with the end of the run.
enum class EndStep { none, claimed, closing };
thread_local EndStep t_end_step = EndStep::none;

[[noreturn]] void wait_for_process_end() {
  for (;;) ::pause();
}

}  // namespace

void register_unit(OpenUnit& unit) {
  if (unit.number < 0 || unit.number > k_max_unit_number) std::abort();
  OpenUnit* expected = nullptr;
  if (!g_units[static_cast<std::size_t>(unit.number)].compare_exchange_strong(expected, &unit)) {
    std::abort();  // two streams under one unit number is a bug
  }
}

void unregister_unit(OpenUnit& unit) {
  OpenUnit* expected = &unit;
  g_units[static_cast<std::size_t>(unit.number)].compare_exchange_strong(expected, nullptr);
}

UnitHold::UnitHold(OpenUnit& unit) : m_unit(unit) {
  int expected = OpenUnit::idle;
  if (!unit.state.compare_exchange_strong(expected, OpenUnit::held)) {
    // The end-of-run close has taken the unit: the run is ending.
    wait_for_process_end();
  }
}

UnitHold::~UnitHold() { m_unit.state.store(OpenUnit::idle); }

void claim_end_of_run() {
  if (t_end_step != EndStep::none) return;
  if (g_end_claimed.exchange(true)) wait_for_process_end();  // another thread ends the run
  t_end_step = EndStep::claimed;
}

void close_all_units() {
  claim_end_of_run();
  if (t_end_step == EndStep::closing) return;  // a failed close ends the run at once
  t_end_step = EndStep::closing;
  for (auto& slot : g_units) {
    OpenUnit* unit = slot.load();
    if (unit == nullptr) continue;
    int expected = OpenUnit::idle;
    if (!unit->state.compare_exchange_strong(expected, OpenUnit::closed)) continue;
    if (::close(unit->fd) != 0 && errno != EINTR) {
      raise_fatal(k_close_error, unit->number, unit->name);
    }
  }
}

}  // namespace plysect

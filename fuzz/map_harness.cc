// Entry point for fuzzing the map file bytes with AFL++: the tool's own
// driver runs on the file named by argument 1, with fixed dialogue answers on
// standard input, as the real binary runs it; only a fault of the running
// code takes another course (see main).
//
//   map_harness INPUT
//
//   PLYSECT_FUZZ_ANSWERS  the answers (default "2\n2\n2\n1\n": two layers,
//                         maps of layer 2 and layer 1)
//   PLYSECT_FUZZ_SCRATCH  the directory the run works in (default: the
//                         current one)
//
// The input is reached through the symbolic link "in.map" in the scratch
// directory, so the layer maps are in-lay-N.map there, whatever the fuzzer
// names its input (its ".cur_input" has no stem and would put "-lay-N.map"
// next to it). The layer maps of the previous run go first, so that every run
// starts from the same state.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "console/events.h"
#include "splitter/driver.h"

namespace {

constexpr std::string_view k_default_answers = "2\n2\n2\n1\n";
constexpr int k_max_layer = 20;

[[noreturn]] void give_up(const char* what) {
  std::perror(what);
  std::abort();
}

// The answers as a file on descriptor 0, read like a piped script.
void answers_on_stdin(std::string_view answers) {
  const int fd = ::memfd_create("answers", 0);
  if (fd < 0) give_up("memfd_create");
  if (::write(fd, answers.data(), answers.size()) != static_cast<ssize_t>(answers.size())) {
    give_up("write answers");
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) give_up("lseek answers");
  if (::dup2(fd, 0) != 0) give_up("dup2 answers");
  ::close(fd);
}

void prepare_scratch(const std::string& input) {
  if (const char* scratch = std::getenv("PLYSECT_FUZZ_SCRATCH"); scratch != nullptr) {
    if (::chdir(scratch) != 0) give_up(scratch);
  }
  for (int layer = 1; layer <= k_max_layer; ++layer) {
    ::unlink(("in-lay-" + std::to_string(layer) + ".map").c_str());
  }
  ::unlink("in.map");
  if (::symlink(input.c_str(), "in.map") != 0) give_up("symlink in.map");
}

// The signals by which the system reports a fault of the running code.
constexpr std::array k_fault_signals{SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS};

}  // namespace

int main(int argc, char** argv) {
  // The same safety frame as the real entry point, first; but a fault of the
  // running code keeps the course it had before (a sanitizer's report, or
  // death by the signal). The tool's last-resort report would turn a crash
  // into an exit status, which the fuzzer cannot tell from a normal end; the
  // corpus replay runs the real binary and sees that status instead.
  std::array<struct sigaction, k_fault_signals.size()> fault_actions;
  for (std::size_t i = 0; i < k_fault_signals.size(); ++i) {
    ::sigaction(k_fault_signals[i], nullptr, &fault_actions[i]);
  }
  plysect::install_event_handlers();
  for (std::size_t i = 0; i < k_fault_signals.size(); ++i) {
    ::sigaction(k_fault_signals[i], &fault_actions[i], nullptr);
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);

  if (argc != 2) {
    std::fprintf(stderr, "usage: map_harness INPUT\n");
    return 2;
  }
  // Absolute before the run moves into the scratch directory.
  const std::string input = std::filesystem::absolute(argv[1]).string();
  const char* answers = std::getenv("PLYSECT_FUZZ_ANSWERS");
  answers_on_stdin(answers != nullptr ? std::string_view(answers) : k_default_answers);
  prepare_scratch(input);

  char in_map[] = "in.map";
  char* args[] = {argv[0], in_map};
  plysect::run_plysect(std::span<char* const>(args, 2));
}

// The tool on a real terminal: tmux gives it a pseudo-terminal as standard
// input and output, keys typed there reach it as the terminal sends them, and
// killing the window hangs the terminal up, as closing a terminal window does.
//
// The tool runs as the pane's command itself (exec), leading the terminal's
// session, or under a non-interactive shell, which passes the hang-up on only
// as it dies. Its exit status goes to the tmux server or to that shell;
// strace, attached to the tool, tells it instead. Standard error goes to a
// file: the terminal dies with the pane.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <sys/syscall.h>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace plysect {
namespace {

using testing::read_file;
using testing::run_command;
using testing::RunningCommand;
using testing::RunResult;
using testing::TempDir;

constexpr const char* k_session = "plysect";
constexpr std::string_view k_layers_prompt = "Give total number of WQ layers :";
constexpr std::string_view k_maps_prompt = "Give  number of desired 2D map files :";
constexpr std::string_view k_layer_prompt = "Give lay number for 2D map no 1 :";

bool have_command(const std::string& name) {
  return run_command({"sh", "-c", "command -v " + name + " >/dev/null"}, "").status == 0;
}

std::string shell_quoted(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

bool wait_until(const std::function<bool()>& ready, double seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::string proc_file(int pid, const char* name) {
  return read_file("/proc/" + std::to_string(pid) + "/" + name);
}

bool traced(int pid) {
  const std::string status = proc_file(pid, "status");
  const auto at = status.find("TracerPid:");
  return at != std::string::npos && std::strtol(status.c_str() + at + 10, nullptr, 10) != 0;
}

// The first child of a single-threaded process.
int child_of(int pid) {
  const std::string id = std::to_string(pid);
  return std::atoi(read_file("/proc/" + id + "/task/" + id + "/children").c_str());
}

bool blocked_in_read(int pid) {
  return proc_file(pid, "syscall").starts_with(std::to_string(SYS_read) + " ");
}

// A tmux server of its own, on a socket in a directory of the test, without
// any user configuration. The end of the scope kills it, and with it every
// pane, whatever happened in the test; a tool that outlived its terminal
// would be killed too.
class TmuxServer {
 public:
  explicit TmuxServer(std::string socket) : m_socket(std::move(socket)) {}
  ~TmuxServer() {
    tmux({"kill-server"});
    if (m_tool_pid > 0 && proc_file(m_tool_pid, "comm") == "plysect\n") {
      ::kill(m_tool_pid, SIGKILL);
    }
  }
  TmuxServer(const TmuxServer&) = delete;
  TmuxServer& operator=(const TmuxServer&) = delete;

  // Runs a tmux command against this server; a command that hangs is
  // stopped after 10 s.
  RunResult tmux(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"timeout", "10", "tmux", "-S", m_socket, "-f", "/dev/null"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, "");
  }

  std::string screen() const { return tmux({"capture-pane", "-p", "-t", k_session}).out; }

  // Starts `command` as the pane's command in a detached session of 80 by 24
  // in `cwd`, and returns the pane's process id (0 on failure).
  int start(const std::string& command, const std::string& cwd) const {
    if (tmux({"new-session", "-d", "-s", k_session, "-x", "80", "-y", "24", "-c", cwd, command})
            .status != 0) {
      return 0;
    }
    const RunResult pane = tmux({"list-panes", "-t", k_session, "-F", "#{pane_pid}"});
    return std::atoi(pane.out.c_str());
  }

  // The tool's process, killed at the end should it outlive its terminal.
  void watch(int tool_pid) { m_tool_pid = tool_pid; }

 private:
  std::string m_socket;
  int m_tool_pid = 0;
};

enum class Act { control_c, control_backslash, kill_window, kill_session };

enum class Launch { pane_command, under_a_shell };

struct TerminalCase {
  const char* what;
  Launch launch;
  std::vector<std::string> typed;  // answers typed before the act, each with Enter
  std::string_view prompt;         // the prompt that waits when the act comes
  Act act;
  const char* word;
  int status;
};

struct TerminalOutcome {
  std::string exit;  // strace's account of the end: "+++ exited with 2 +++"
  std::string err;
};

// Runs the tool on a terminal of its own, types the case's answers, waits
// until it waits for the case's prompt, acts, and returns how it ended.
TerminalOutcome run_on_terminal(const TerminalCase& c) {
  TempDir dir;
  TmuxServer server(dir.file("tmux"));
  TerminalOutcome outcome;
  const std::string tool = shell_quoted(testing::plysect_binary()) + " run.map 2>err";
  const int pane_pid = server.start(
      c.launch == Launch::pane_command ? "exec " + tool
                                       : "exec sh -c " + shell_quoted(tool + "; exit $?"),
      dir.path());
  if (pane_pid <= 0) {
    ADD_FAILURE() << "tmux did not start the tool";
    return outcome;
  }
  auto screen_shows = [&](std::string_view text) {
    return wait_until([&] { return server.screen().find(text) != std::string::npos; });
  };
  if (!screen_shows(k_layers_prompt)) {
    ADD_FAILURE() << "no prompt; the screen:\n" << server.screen();
    return outcome;
  }
  for (const auto& answer : c.typed) server.tmux({"send-keys", "-t", k_session, answer, "Enter"});
  if (!screen_shows(c.prompt)) {
    ADD_FAILURE() << "no prompt " << c.prompt << "; the screen:\n" << server.screen();
    return outcome;
  }
  const int pid = c.launch == Launch::pane_command ? pane_pid : child_of(pane_pid);
  if (proc_file(pid, "comm") != "plysect\n") {
    ADD_FAILURE() << "the tool is not where it should be";
    return outcome;
  }
  server.watch(pid);

  const std::string exit_file = dir.file("exit");
  RunningCommand strace({"strace", "-q", "-e", "trace=none", "-e", "signal=none", "-p",
                         std::to_string(pid), "-o", exit_file},
                        {});
  // Attaching interrupts the read, which the system then restarts.
  if (!wait_until([&] { return traced(pid) && blocked_in_read(pid); })) {
    ADD_FAILURE() << "strace did not attach to the tool waiting for its answer";
    return outcome;
  }

  switch (c.act) {
    case Act::control_c:
      server.tmux({"send-keys", "-t", k_session, "C-c"});
      break;
    case Act::control_backslash:
      server.tmux({"send-keys", "-t", k_session, "C-\\"});
      break;
    case Act::kill_window:
      server.tmux({"kill-window", "-t", k_session});
      break;
    case Act::kill_session:
      server.tmux({"kill-session", "-t", k_session});
      break;
  }
  if (!strace.wait_for_exit(10)) {
    ADD_FAILURE() << "the tool did not end";
    return outcome;
  }
  outcome.exit = read_file(exit_file);
  outcome.err = read_file(dir.file("err"));
  return outcome;
}

std::string exited_with(int status) {
  return "+++ exited with " + std::to_string(status) + " +++\n";
}

std::string event_line(const char* word) {
  return std::string("plysect: error (200): program aborting due to ") + word + " event\n";
}

void expect_event_end(const TerminalCase& c) {
  SCOPED_TRACE(c.what);
  const TerminalOutcome outcome = run_on_terminal(c);
  EXPECT_EQ(outcome.exit, exited_with(c.status));
  EXPECT_EQ(outcome.err, event_line(c.word));
}

class Terminal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!have_command("tmux")) GTEST_SKIP() << "tmux is not installed: no real-terminal test";
    if (!have_command("strace")) {
      GTEST_SKIP() << "strace is not installed: the exit status of a pane cannot be learnt";
    }
  }
};

TEST_F(Terminal, KeysTypedAtAPrompt) {
  const TerminalCase cases[] = {
      {"control-C at the first prompt", Launch::pane_command, {}, k_layers_prompt,
       Act::control_c, "control-C", 130},
      {"control-\\ after one answer", Launch::pane_command, {"20"}, k_maps_prompt,
       Act::control_backslash, "control-BREAK", 1},
      {"control-C under a shell", Launch::under_a_shell, {}, k_layers_prompt, Act::control_c,
       "control-C", 130},
  };
  for (const auto& c : cases) expect_event_end(c);
}

// The hang-up makes the pending read of the terminal fail before the hang-up
// signal arrives: at once when the tool leads the terminal's session, some
// milliseconds later under a shell, which passes the hang-up on as it dies.
// The read failure must never win, so the window is closed again and again,
// in every combination.
TEST_F(Terminal, WindowClosedWhileWaitingForAnAnswer) {
  for (int round = 0; round < 12; ++round) {
    const Launch launch = round % 2 == 0 ? Launch::pane_command : Launch::under_a_shell;
    const Act act = round % 4 < 2 ? Act::kill_window : Act::kill_session;
    const bool later_prompt = round >= 8;
    const std::string what = std::string(act == Act::kill_window ? "kill-window" : "kill-session") +
                             (launch == Launch::pane_command ? ", tool as the pane's command"
                                                             : ", tool under a shell") +
                             (later_prompt ? ", third prompt" : ", first prompt") + ", round " +
                             std::to_string(round + 1);
    const std::vector<std::string> typed =
        later_prompt ? std::vector<std::string>{"20", "2"} : std::vector<std::string>{};
    expect_event_end({what.c_str(), launch, typed,
                      later_prompt ? k_layer_prompt : k_layers_prompt, act, "window-CLOSE", 2});
  }
}

}  // namespace
}  // namespace plysect

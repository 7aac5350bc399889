// Helpers shared by the tests: a fresh directory per test, whole-file reads
// and writes, and running the real plysect binary with answers on stdin.
#pragma once

#include <csignal>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace plysect::testing {

// The console events as signals: the event word of the diagnostic 200 line
// and the exit status of each.
struct EventCase {
  int signal;
  const char* word;
  int status;
};

inline constexpr EventCase k_events[] = {
    {SIGINT, "control-C", 130},
    {SIGQUIT, "control-BREAK", 1},
    {SIGHUP, "window-CLOSE", 2},
};

// A fresh directory, removed with everything in it at the end of its scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  std::string file(std::string_view name) const { return m_path + "/" + std::string(name); }

 private:
  std::string m_path;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view bytes);
bool file_exists(const std::string& path);

struct RunResult {
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error, byte for byte
  int status = -1;  // exit status (low 8 bits), or 128 + signal when killed
};

// Runs the plysect binary with `args` (argument 1 onwards), `input` on stdin
// (a regular file), in directory `cwd` (the current one when empty).
RunResult run_plysect(const std::vector<std::string>& args, std::string_view input,
                      const std::string& cwd = "");

// Runs `argv` (a full command, argv[0] looked up on PATH) like run_plysect.
RunResult run_command(const std::vector<std::string>& argv, std::string_view input,
                      const std::string& cwd = "");

// Runs `body` in a child forked from the test process, with default signal
// dispositions, nothing blocked, standard input from /dev/null and standard
// output and error captured: for code that ends the process. A body that
// returns ends with status 255; one still running after `seconds` is killed
// and the status is -1.
RunResult run_forked(const std::function<void()>& body, double seconds = 20);

// The path of the plysect binary under test.
std::string plysect_binary();

// A command left running while the test acts on it (sends signals, waits for
// a prompt). Its standard input is a pipe that the test holds open, so the
// process never meets the end of its input unless the test closes it; its
// standard output a pipe that the test reads on request; its standard error
// a file. It starts with default signal dispositions and nothing blocked.
// A process still running at the end of the scope is killed.
class RunningCommand {
 public:
  struct Options {
    std::vector<std::string> env;  // NAME=value entries added to the environment
    std::string cwd;               // the current one when empty
    // The output pipe starts full, so the process blocks in its first write
    // to standard output until the test reads.
    bool full_output_pipe = false;
  };

  RunningCommand(const std::vector<std::string>& argv, const Options& options);
  ~RunningCommand();
  RunningCommand(const RunningCommand&) = delete;
  RunningCommand& operator=(const RunningCommand&) = delete;

  int pid() const { return m_pid; }
  void send_input(std::string_view bytes);
  void close_input();
  void send_signal(int signal);

  // Reads standard output until it holds `text` `times` times; false after
  // `seconds`.
  bool wait_for_output(std::string_view text, std::size_t times = 1, double seconds = 20);
  // Waits until the main thread sits in one of the system calls `numbers`
  // (SYS_read, SYS_write, ...), that is, blocks in it; false after `seconds`.
  bool wait_until_blocked_in(std::initializer_list<long> numbers, double seconds = 20);
  // Waits for the end of the process without reading its output (a process
  // blocked in a write stays blocked); false after `seconds`.
  bool wait_for_exit(double seconds = 20);
  // Reads standard output while waiting for the end of the process. After
  // `seconds` the process is killed and the status is -1.
  RunResult finish(double seconds = 20);

 private:
  void read_available_output();

  int m_pid = -1;
  int m_input = -1;
  int m_output = -1;
  std::string m_out;
  std::size_t m_fill = 0;  // bytes that filled the output pipe at the start
  TempDir m_dir;
  bool m_exited = false;
  int m_wait_status = 0;
};

}  // namespace plysect::testing

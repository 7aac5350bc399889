#include "tests/test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <chrono>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace plysect::testing {

namespace {

// A child starts with default signal dispositions and nothing blocked,
// whatever the test runner inherited.
void init_with_default_signals(posix_spawnattr_t& attr) {
  posix_spawnattr_init(&attr);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "plysect-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool file_exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

std::string plysect_binary() { return PLYSECT_BINARY; }

RunResult run_command(const std::vector<std::string>& argv, std::string_view input,
                      const std::string& cwd) {
  TempDir io;
  const std::string in_path = io.file("stdin");
  const std::string out_path = io.file("stdout");
  const std::string err_path = io.file("stderr");
  write_file(in_path, input);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

  posix_spawnattr_t attr;
  init_with_default_signals(attr);

  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));

  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  RunResult result;
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return result;
}

RunResult run_plysect(const std::vector<std::string>& args, std::string_view input,
                      const std::string& cwd) {
  std::vector<std::string> argv{plysect_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, input, cwd);
}

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(seconds));
}

void pause_briefly() { std::this_thread::sleep_for(std::chrono::milliseconds(10)); }

// The environment with `extra` NAME=value entries added or replaced.
std::vector<std::string> environment_with(const std::vector<std::string>& extra) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::string_view name = text.substr(0, text.find('=') + 1);
    bool replaced = false;
    for (const auto& added : extra) replaced = replaced || added.starts_with(name);
    if (!replaced) result.emplace_back(text);
  }
  result.insert(result.end(), extra.begin(), extra.end());
  return result;
}

std::vector<char*> pointers_to(const std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (const auto& text : texts) result.push_back(const_cast<char*>(text.c_str()));
  result.push_back(nullptr);
  return result;
}

// Fills the pipe behind `fd` (shrunk to one page) until a write would block.
std::size_t fill_pipe(int fd) {
  ::fcntl(fd, F_SETPIPE_SZ, 4096);
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  std::size_t filled = 0;
  const std::string chunk(4096, 'x');
  for (std::size_t size : {chunk.size(), std::size_t{1}}) {
    for (;;) {
      const ssize_t n = ::write(fd, chunk.data(), size);
      if (n <= 0) break;
      filled += static_cast<std::size_t>(n);
    }
  }
  // The process must block in its write, not fail it.
  ::fcntl(fd, F_SETFL, flags);
  return filled;
}

}  // namespace

RunResult run_forked(const std::function<void()>& body, double seconds) {
  TempDir io;
  const std::string out_path = io.file("stdout");
  const std::string err_path = io.file("stderr");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
        ::dup2(err, 2) < 0) {
      ::_exit(254);
    }
    struct sigaction fresh {};
    fresh.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &fresh, nullptr);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    body();
    ::_exit(255);
  }
  const auto deadline = deadline_after(seconds);
  int wstatus = 0;
  bool timed_out = false;
  while (::waitpid(pid, &wstatus, WNOHANG) != pid) {
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
      }
      timed_out = true;
      break;
    }
    pause_briefly();
  }
  RunResult result;
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  if (timed_out) {
    result.status = -1;
  } else {
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  }
  return result;
}

RunningCommand::RunningCommand(const std::vector<std::string>& argv, const Options& options) {
  int input[2];
  int output[2];
  if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  m_input = input[1];
  m_output = output[0];
  if (options.full_output_pipe) m_fill = fill_pipe(output[1]);
  ::fcntl(m_output, F_SETFL, ::fcntl(m_output, F_GETFL) | O_NONBLOCK);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, m_dir.file("stderr").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  posix_spawnattr_t attr;
  init_with_default_signals(attr);

  const std::vector<std::string> env = environment_with(options.env);
  const int rc = posix_spawnp(&m_pid, argv[0].c_str(), &actions, &attr, pointers_to(argv).data(),
                              pointers_to(env).data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(input[0]);
  ::close(output[1]);
  if (rc != 0) {
    ::close(m_input);
    ::close(m_output);
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  }
}

RunningCommand::~RunningCommand() {
  if (!m_exited) {
    ::kill(m_pid, SIGKILL);
    while (::waitpid(m_pid, &m_wait_status, 0) < 0 && errno == EINTR) {
    }
  }
  if (m_input >= 0) ::close(m_input);
  ::close(m_output);
}

void RunningCommand::send_input(std::string_view bytes) {
  if (m_input < 0) throw std::runtime_error("input already closed");
  // A process that has ended must fail the test, not kill it with SIGPIPE.
  sigset_t pipe_signal, saved;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &saved);
  const ssize_t n = ::write(m_input, bytes.data(), bytes.size());
  if (n < 0 && errno == EPIPE) {
    const timespec now{0, 0};
    ::sigtimedwait(&pipe_signal, nullptr, &now);
  }
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("cannot send input");
}

void RunningCommand::close_input() {
  if (m_input >= 0) ::close(m_input);
  m_input = -1;
}

void RunningCommand::send_signal(int signal) { ::kill(m_pid, signal); }

void RunningCommand::read_available_output() {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(m_output, buffer, sizeof buffer);
    if (n <= 0) return;
    m_out.append(buffer, static_cast<std::size_t>(n));
  }
}

bool RunningCommand::wait_for_output(std::string_view text, std::size_t times, double seconds) {
  const auto deadline = deadline_after(seconds);
  for (;;) {
    read_available_output();
    std::size_t found = 0;
    for (auto at = m_out.find(text, m_fill); at != std::string::npos;
         at = m_out.find(text, at + 1)) {
      ++found;
    }
    if (found >= times) return true;
    if (Clock::now() > deadline) return false;
    pollfd ready{m_output, POLLIN, 0};
    ::poll(&ready, 1, 10);
  }
}

bool RunningCommand::wait_until_blocked_in(std::initializer_list<long> numbers, double seconds) {
  const auto deadline = deadline_after(seconds);
  while (Clock::now() <= deadline) {
    const std::string now = read_file("/proc/" + std::to_string(m_pid) + "/syscall");
    for (const long number : numbers) {
      if (now.starts_with(std::to_string(number) + " ")) return true;
    }
    pause_briefly();
  }
  return false;
}

bool RunningCommand::wait_for_exit(double seconds) {
  const auto deadline = deadline_after(seconds);
  while (!m_exited) {
    const pid_t done = ::waitpid(m_pid, &m_wait_status, WNOHANG);
    if (done == m_pid) {
      m_exited = true;
    } else if (Clock::now() > deadline) {
      return false;
    } else {
      pause_briefly();
    }
  }
  return true;
}

RunResult RunningCommand::finish(double seconds) {
  const auto deadline = deadline_after(seconds);
  bool timed_out = false;
  while (!m_exited) {
    read_available_output();
    if (::waitpid(m_pid, &m_wait_status, WNOHANG) == m_pid) {
      m_exited = true;
    } else if (Clock::now() > deadline) {
      ::kill(m_pid, SIGKILL);
      while (::waitpid(m_pid, &m_wait_status, 0) < 0 && errno == EINTR) {
      }
      m_exited = true;
      timed_out = true;
    } else {
      pollfd ready{m_output, POLLIN, 0};
      ::poll(&ready, 1, 10);
    }
  }
  read_available_output();
  RunResult result;
  result.out = m_out.substr(std::min(m_fill, m_out.size()));
  result.err = read_file(m_dir.file("stderr"));
  if (timed_out) {
    result.status = -1;
  } else {
    result.status = WIFEXITED(m_wait_status) ? WEXITSTATUS(m_wait_status)
                                             : 128 + WTERMSIG(m_wait_status);
  }
  return result;
}

}  // namespace plysect::testing

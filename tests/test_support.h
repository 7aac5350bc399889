// Helpers shared by the tests: a fresh directory per test, whole-file reads
// and writes, and running the real plysect binary with answers on stdin.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace plysect::testing {

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

// The path of the plysect binary under test.
std::string plysect_binary();

}  // namespace plysect::testing

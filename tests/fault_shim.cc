// A library that the tests preload into the plysect binary to provoke a real
// machine exception inside the running tool: the first read() of standard
// input faults the way PLYSECT_FAULT names:
//   null-write       a write through a bad pointer (SIGSEGV)
//   divide-by-zero   an integer division by zero (SIGFPE)
//   stack-overflow   endless recursion (SIGSEGV at the stack's guard)
//   trap             an illegal instruction (SIGILL)
// Built without sanitizers and optimisation, so each fault happens as written.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

using ReadCall = ssize_t (*)(int, void*, size_t);

ReadCall g_read = nullptr;
const char* g_fault = nullptr;
bool g_fired = false;
volatile bool g_keep_going = true;
volatile std::uintptr_t g_bad_address = 8;

__attribute__((constructor)) void load_shim() {
  // Looked up now, not at the first call, which faults.
  g_read = reinterpret_cast<ReadCall>(dlsym(RTLD_NEXT, "read"));
  g_fault = std::getenv("PLYSECT_FAULT");
}

__attribute__((noinline)) int recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (g_keep_going) return recurse(depth + 1) + frame[0];
  return frame[0];
}

void fault() {
  if (g_fired || g_fault == nullptr) return;
  g_fired = true;
  if (std::strcmp(g_fault, "null-write") == 0) {
    *reinterpret_cast<volatile int*>(g_bad_address) = 1;
  } else if (std::strcmp(g_fault, "divide-by-zero") == 0) {
    volatile int zero = 0;
    volatile int quotient = 7 / zero;
    (void)quotient;
  } else if (std::strcmp(g_fault, "stack-overflow") == 0) {
    recurse(0);
  } else if (std::strcmp(g_fault, "trap") == 0) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
  if (fd == 0) fault();
  return g_read(fd, buffer, size);
}

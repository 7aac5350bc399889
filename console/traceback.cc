#include "console/traceback.h"

#include <array>
#include <cstring>

#ifdef PLYSECT_HAVE_LIBBACKTRACE
#include <atomic>
#include PLYSECT_BACKTRACE_HEADER  // GCC's libbacktrace
#include <csetjmp>
#include <dlfcn.h>
#include <link.h>

#include "console/system_io.h"
#endif

namespace plysect {

namespace {

// ---------------------------------------------------------------------------
// Routine names. The debug information names a C++ routine by its mangled
// symbol. The demanglers of the C++ runtime allocate on the heap, which a
// signal handler must not do (the fault may have struck inside the
// allocator), and the full demangled name would not fit the 17 columns
// anyway. So the symbol is read here just far enough to find the routine's
// own name, which is a piece of the symbol itself.
// ---------------------------------------------------------------------------

struct RoutineName {
  std::string_view text;
  bool destructor = false;
};

struct OperatorName {
  std::string_view code;
  std::string_view text;
};

constexpr std::array k_operator_names{
    OperatorName{"nw", "operator new"},   OperatorName{"na", "operator new[]"},
    OperatorName{"dl", "operator delete"}, OperatorName{"da", "operator delete[]"},
    OperatorName{"aw", "operator co_await"}, OperatorName{"ps", "operator+"},
    OperatorName{"ng", "operator-"},      OperatorName{"ad", "operator&"},
    OperatorName{"de", "operator*"},      OperatorName{"co", "operator~"},
    OperatorName{"pl", "operator+"},      OperatorName{"mi", "operator-"},
    OperatorName{"ml", "operator*"},      OperatorName{"dv", "operator/"},
    OperatorName{"rm", "operator%"},      OperatorName{"an", "operator&"},
    OperatorName{"or", "operator|"},      OperatorName{"eo", "operator^"},
    OperatorName{"aS", "operator="},      OperatorName{"pL", "operator+="},
    OperatorName{"mI", "operator-="},     OperatorName{"mL", "operator*="},
    OperatorName{"dV", "operator/="},     OperatorName{"rM", "operator%="},
    OperatorName{"aN", "operator&="},     OperatorName{"oR", "operator|="},
    OperatorName{"eO", "operator^="},     OperatorName{"ls", "operator<<"},
    OperatorName{"rs", "operator>>"},     OperatorName{"lS", "operator<<="},
    OperatorName{"rS", "operator>>="},    OperatorName{"eq", "operator=="},
    OperatorName{"ne", "operator!="},     OperatorName{"lt", "operator<"},
    OperatorName{"gt", "operator>"},      OperatorName{"le", "operator<="},
    OperatorName{"ge", "operator>="},     OperatorName{"ss", "operator<=>"},
    OperatorName{"nt", "operator!"},      OperatorName{"aa", "operator&&"},
    OperatorName{"oo", "operator||"},     OperatorName{"pp", "operator++"},
    OperatorName{"mm", "operator--"},     OperatorName{"cm", "operator,"},
    OperatorName{"pm", "operator->*"},    OperatorName{"pt", "operator->"},
    OperatorName{"cl", "operator()"},     OperatorName{"ix", "operator[]"},
    OperatorName{"qu", "operator?"},      OperatorName{"cv", "operator"},
    OperatorName{"li", "operator\"\""},
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

// Reads the name part of an Itanium C++ ABI symbol (after its "_Z"). It
// understands the forms our compiler gives routines; a symbol it cannot read
// is shown as it is.
class SymbolReader {
 public:
  explicit SymbolReader(std::string_view text) : m_text(text) {}

  bool encoding(RoutineName& out, int depth) {
    if (depth > 4) return false;
    if (peek() == 'T') return thunk(out, depth);
    switch (peek()) {
      case 'N': return nested(out);
      case 'Z':  // a local entity (a lambda): named by the routine around it
        ++m_pos;
        return encoding(out, depth + 1);
      default: return unscoped(out);
    }
  }

 private:
  char peek(std::size_t ahead = 0) const {
    return m_pos + ahead < m_text.size() ? m_text[m_pos + ahead] : '\0';
  }
  bool at_end() const { return m_pos >= m_text.size(); }
  bool eat(char c) {
    if (peek() != c) return false;
    ++m_pos;
    return true;
  }
  void skip_digits() {
    while (is_digit(peek())) ++m_pos;
  }

  bool source_name(std::string_view& name) {
    std::size_t length = 0;
    if (!is_digit(peek())) return false;
    while (is_digit(peek())) {
      length = length * 10 + static_cast<std::size_t>(peek() - '0');
      if (length > m_text.size()) return false;
      ++m_pos;
    }
    if (length == 0 || length > m_text.size() - m_pos) return false;
    name = m_text.substr(m_pos, length);
    m_pos += length;
    return true;
  }

  // A virtual-call thunk: its call offsets, then the routine it leads to.
  bool thunk(RoutineName& out, int depth) {
    ++m_pos;  // 'T'
    int offsets = 0;
    if (eat('h') || eat('v')) {
      offsets = m_text[m_pos - 1] == 'h' ? 1 : 2;
    } else if (eat('c')) {
      return false;  // covariant thunks: rare, and their offsets nest
    } else {
      return false;  // vtables, typeinfo: no routine
    }
    for (int i = 0; i < offsets; ++i) {
      eat('n');
      skip_digits();
      if (!eat('_')) return false;
    }
    return encoding(out, depth + 1);
  }

  bool unscoped(RoutineName& out) {
    if (peek() == 'S' && peek(1) == 't') m_pos += 2;
    eat('L');  // internal linkage
    if (is_digit(peek())) return source_name(out.text);
    if (is_lower(peek())) return operator_name(out);
    return false;
  }

  bool nested(RoutineName& out) {
    ++m_pos;  // 'N'
    while (peek() == 'r' || peek() == 'V' || peek() == 'K') ++m_pos;
    if (peek() == 'R' || peek() == 'O') ++m_pos;
    std::string_view last;
    while (!at_end()) {
      const char c = peek();
      if (c == 'E') {
        out.text = last;
        return !last.empty();
      }
      if (is_digit(c)) {
        if (!source_name(last)) return false;
      } else if (c == 'I') {  // template arguments of the component before
        if (!skip_group(1)) return false;
      } else if (c == 'B') {  // ABI tag
        ++m_pos;
        std::string_view tag;
        if (!source_name(tag)) return false;
      } else if (c == 'M' || c == 'L') {
        ++m_pos;
      } else if (c == 'S') {
        if (!substitution(last)) return false;
      } else if (c == 'T') {
        if (!template_parameter()) return false;
        last = {};
      } else if (c == 'C' && (is_digit(peek(1)) || peek(1) == 'I')) {
        out.text = last;  // a constructor bears its class's name
        return !last.empty();
      } else if (c == 'D' && is_digit(peek(1))) {
        out.text = last;
        out.destructor = true;
        return !last.empty();
      } else if (c == 'D' && (peek(1) == 't' || peek(1) == 'T')) {
        if (!skip_group(2)) return false;
        last = {};
      } else if (c == 'U' && peek(1) == 'l') {
        if (!skip_group(2)) return false;
        skip_digits();
        if (!eat('_')) return false;
        last = "{lambda}";
      } else if (c == 'U' && peek(1) == 't') {
        m_pos += 2;
        skip_digits();
        if (!eat('_')) return false;
        last = "{unnamed}";
      } else if (is_lower(c)) {
        return operator_name(out);
      } else {
        return false;
      }
    }
    return false;
  }

  bool operator_name(RoutineName& out) {
    if (peek() == 'v' && is_digit(peek(1))) {  // vendor operator
      m_pos += 2;
      return source_name(out.text);
    }
    const std::string_view code = m_text.substr(m_pos, 2);
    for (const auto& entry : k_operator_names) {
      if (entry.code == code) {
        out.text = entry.text;
        m_pos += 2;
        return true;
      }
    }
    return false;
  }

  bool substitution(std::string_view& last) {
    ++m_pos;  // 'S'
    constexpr std::array<std::pair<char, std::string_view>, 6> k_abbreviations{{
        {'t', "std"},
        {'a', "allocator"},
        {'b', "basic_string"},
        {'s', "string"},
        {'i', "istream"},
        {'o', "ostream"},
    }};
    for (const auto& [letter, name] : k_abbreviations) {
      if (eat(letter)) {
        last = name;
        return true;
      }
    }
    if (eat('d')) {
      last = "iostream";
      return true;
    }
    while (is_digit(peek()) || is_upper(peek())) ++m_pos;
    last = {};  // an earlier component, not kept
    return eat('_');
  }

  bool template_parameter() {
    ++m_pos;  // 'T'
    skip_digits();
    return eat('_');
  }

  // A literal template argument: L <type> <value> E, or L _Z <encoding> E.
  bool literal() {
    ++m_pos;  // 'L'
    if (peek() == '_' && peek(1) == 'Z') return skip_group(2);
    if (is_digit(peek())) {
      std::string_view type;
      if (!source_name(type)) return false;
    } else if (peek() == 'N') {
      if (!skip_group(1)) return false;
    } else if (peek() == 'D') {
      m_pos += 2;
    } else {
      ++m_pos;
    }
    while (!at_end() && peek() != 'E') ++m_pos;  // the value: digits, 'n', hex
    return eat('E');
  }

  // Skips a group that opens with `opener_length` characters and ends with
  // its matching 'E' (template arguments, a lambda's signature, decltype),
  // counting the groups nested in it.
  bool skip_group(std::size_t opener_length) {
    if (m_nesting == k_max_nesting) return false;  // bounds the recursion
    ++m_nesting;
    const bool skipped = skip_group_rest(opener_length);
    --m_nesting;
    return skipped;
  }

  bool skip_group_rest(std::size_t opener_length) {
    m_pos += opener_length;
    int depth = 1;
    while (!at_end()) {
      const char c = peek();
      if (c == 'E') {
        ++m_pos;
        if (--depth == 0) return true;
        continue;
      }
      if (is_digit(c)) {
        std::string_view ignored;
        if (!source_name(ignored)) return false;
        continue;
      }
      switch (c) {
        case 'I': case 'J': case 'N': case 'X': case 'F': case 'Z':
          ++m_pos;
          ++depth;
          break;
        case 'L':
          if (!literal()) return false;
          break;
        case 'S': {
          std::string_view ignored;
          if (!substitution(ignored)) return false;
          break;
        }
        case 'T':
          if (!template_parameter()) return false;
          break;
        case 'A':  // array type: A <number> _ <type>
          ++m_pos;
          skip_digits();
          if (!eat('_')) return false;
          break;
        case 'U':
          if (peek(1) == 'l') {  // a lambda: Ul <signature> E [<number>] _
            if (!skip_group(2)) return false;
            skip_digits();
            if (!eat('_')) return false;
          } else if (peek(1) == 't') {
            m_pos += 2;
            skip_digits();
            if (!eat('_')) return false;
          } else {
            ++m_pos;  // vendor qualifier
            std::string_view ignored;
            if (!source_name(ignored)) return false;
          }
          break;
        case 'u': {  // vendor type
          ++m_pos;
          std::string_view ignored;
          if (!source_name(ignored)) return false;
          break;
        }
        case 'D':
          if (peek(1) == 't' || peek(1) == 'T') {
            m_pos += 2;
            ++depth;
          } else if (peek(1) == 'v') {  // vector type: Dv <number> _ <type>
            m_pos += 2;
            skip_digits();
            if (!eat('_')) return false;
          } else {
            m_pos += 2;
          }
          break;
        case 'f':
          if (peek(1) == 'p') {  // function parameter: fp <cv> <number> _
            m_pos += 2;
            while (peek() == 'r' || peek() == 'V' || peek() == 'K') ++m_pos;
            skip_digits();
            if (!eat('_')) return false;
          } else {
            ++m_pos;
          }
          break;
        case '_':  // the discriminator of a local name: _ <digit> or __ <number> _
          ++m_pos;
          if (eat('_')) {
            skip_digits();
            if (!eat('_')) return false;
          } else if (is_digit(peek())) {
            ++m_pos;
          }
          break;
        default:
          ++m_pos;
          break;
      }
    }
    return false;
  }

  static constexpr int k_max_nesting = 32;

  std::string_view m_text;
  std::size_t m_pos = 0;
  int m_nesting = 0;
};

}  // namespace

std::string_view short_routine_name(std::string_view symbol, std::span<char> scratch) {
  if (!symbol.starts_with("_Z")) return symbol;
  SymbolReader reader(symbol.substr(2));
  RoutineName name;
  if (!reader.encoding(name, 0) || name.text.empty()) return symbol;
  if (!name.destructor || scratch.empty()) return name.text;
  const std::size_t length = std::min(name.text.size(), scratch.size() - 1);
  scratch[0] = '~';
  std::memcpy(scratch.data() + 1, name.text.data(), length);
  return {scratch.data(), length + 1};
}

#ifdef PLYSECT_HAVE_LIBBACKTRACE

namespace {

constexpr int k_max_frames = 20;
constexpr std::string_view k_unknown = "Unknown";

// The walker's state: its debug information is read on the first traceback
// and kept. One per process, shared by all threads.
std::atomic<backtrace_state*> g_state{nullptr};

// Errors of the walker (no debug information for a library, say) only mean
// that some values read "Unknown".
void ignore_walker_error(void*, const char*, int) {}

backtrace_state* walker() {
  backtrace_state* state = g_state.load(std::memory_order_acquire);
  if (state != nullptr) return state;
  backtrace_state* fresh = backtrace_create_state(nullptr, 1, ignore_walker_error, nullptr);
  // A state lost to a thread that got there first stays unused: it is small.
  if (g_state.compare_exchange_strong(state, fresh)) return fresh;
  return state;
}

struct Walk {
  DiagnosticText* text;
  std::uintptr_t start_pc;
  bool started;     // the first frame to show has been reached
  int frames;       // frame lines written
  bool cut_short;   // stopped at the frame limit
  bool reached_end; // the walker found the outermost frame
  bool walking;     // a fault now is a fault of the walk itself
  sigjmp_buf escape;
};

// One walk per thread at a time. Not on the stack: after an escape the
// walk's state is read back, and a stack object changed between sigsetjmp
// and siglongjmp would be indeterminate.
thread_local Walk t_walk;

std::string_view base_name(const char* path) {
  if (path == nullptr || *path == '\0') return k_unknown;
  const std::string_view full(path);
  const std::size_t slash = full.rfind('/');
  return slash == std::string_view::npos ? full : full.substr(slash + 1);
}

// Frames of the diagnostic machinery itself, which a traceback of a failed
// transfer leaves out: it starts at the code that raised the diagnostic.
bool is_machinery_frame(const char* source) {
  if (source == nullptr) return false;
  const std::string_view path(source);
  return path.ends_with("console/traceback.cc") || path.ends_with("console/termination.cc");
}

void append_hex8(DiagnosticText& text, std::uintptr_t value) {
  char digits[8];
  for (int i = 7; i >= 0; --i) {
    digits[i] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  }
  text.append(std::string_view(digits, sizeof digits));
}

void append_line_number(DiagnosticText& text, int line) {
  if (line <= 0) {
    text.append_right(k_unknown, 10);
    return;
  }
  char digits[12];
  std::size_t n = sizeof digits;
  do {
    digits[--n] = static_cast<char>('0' + line % 10);
    line /= 10;
  } while (line != 0);
  text.append_right(std::string_view(digits + n, sizeof digits - n), 10);
}

void take_symbol_name(void* data, std::uintptr_t, const char* symbol, std::uintptr_t,
                      std::uintptr_t) {
  *static_cast<const char**>(data) = symbol;
}

void append_frame_line(DiagnosticText& text, std::uintptr_t pc, const char* source, int line,
                       const char* function) {
  std::string_view image = k_unknown;
  std::uintptr_t address = pc;
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(pc), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) != 0) {
    image = base_name(info.dli_fname);
    // The address as the file's own tables have it: a position-independent
    // image is loaded at a bias, a fixed-address one is not.
    if (map != nullptr) address = pc - map->l_addr;
  }
  // Code without debug information may still be named by the symbol table.
  if (function == nullptr) {
    backtrace_syminfo(walker(), pc, take_symbol_name, ignore_walker_error, &function);
  }
  char scratch[20];
  const std::string_view routine =
      function != nullptr ? short_routine_name(function, scratch) : k_unknown;

  text.append_left(image, 19, 17);
  append_hex8(text, address);
  text.append("  ");
  text.append_left(routine.empty() ? k_unknown : routine, 19, 17);
  append_line_number(text, line);
  text.append("  ");
  text.append(base_name(source));
  text.append('\n');
}

int on_frame(void* data, std::uintptr_t pc, const char* source, int line, const char* function) {
  Walk& walk = *static_cast<Walk*>(data);
  // The walker's last call marks the outermost frame's zero return address.
  if (pc == static_cast<std::uintptr_t>(-1)) {
    walk.reached_end = true;
    return 0;
  }
  if (!walk.started) {
    const bool skip = walk.start_pc != 0 ? pc != walk.start_pc : is_machinery_frame(source);
    if (skip) return 0;
    walk.started = true;
  }
  if (walk.frames == k_max_frames) {
    walk.cut_short = true;
    return 1;
  }
  append_frame_line(*walk.text, pc, source, line, function);
  ++walk.frames;
  return 0;
}

}  // namespace

void prepare_traceback() { walker(); }

void append_traceback(DiagnosticText& text, std::uintptr_t start_pc) {
  backtrace_state* state = walker();
  if (state == nullptr) return;
  text.append_left("Image", 19, 19);
  text.append_left("PC", 10, 10);
  text.append_left("Routine", 19, 19);
  text.append_left("Line", 12, 12);
  text.append_left("Source", 19, 19);
  text.append('\n');

  Walk& walk = t_walk;
  walk.text = &text;
  walk.start_pc = start_pc;
  walk.started = false;
  walk.frames = 0;
  walk.cut_short = false;
  walk.reached_end = false;
  bool abandoned = false;
  if (sigsetjmp(walk.escape, 1) == 0) {
    walk.walking = true;
    backtrace_full(state, 0, on_frame, ignore_walker_error, &walk);
    walk.walking = false;
  } else {
    abandoned = true;  // the walker faulted on a damaged stack
  }
  if (walk.cut_short) return;
  if (!walk.started && start_pc != 0 && !abandoned) {
    // The walk never met the faulting frame: show that frame on its own.
    walk.started = true;
    backtrace_pcinfo(state, start_pc, on_frame, ignore_walker_error, &walk);
    walk.reached_end = false;
  }
  if (abandoned || !walk.reached_end) text.append("Stack trace terminated abnormally.\n");
  // The walk has ended before the frame limit: the diagnostic that follows
  // starts on a fresh line of a console that both streams share.
  write_all(1, "\n");
}

void abandon_traceback_after_fault() {
  Walk& walk = t_walk;
  if (!walk.walking) return;
  walk.walking = false;
  siglongjmp(walk.escape, 1);
}

#else  // no stack walker: the traceback is left out

void prepare_traceback() {}
void append_traceback(DiagnosticText&, std::uintptr_t) {}
void abandon_traceback_after_fault() {}

#endif

}  // namespace plysect

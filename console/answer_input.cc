#include "console/answer_input.h"

#include <poll.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace plysect {

namespace {

constexpr char k_ctrl_z = 26;
constexpr std::size_t k_max_quoted_length = 2049;
// A hang-up makes the pending terminal read fail with EIO a few milliseconds
// before SIGHUP reaches the event handler; the handler must get to end the
// run (window-CLOSE, status 2) before the read failure is reported.
constexpr int k_hangup_wait_steps = 100;
constexpr long k_hangup_wait_step_ns = 10'000'000;

LineFetch end_of_input() { return LineFetch{}; }

LineFetch failed_fetch(DiagnosticCode code, int system_error) {
  LineFetch fetch;
  fetch.kind = LineFetch::Kind::failed;
  fetch.code = code;
  fetch.system_error = system_error;
  return fetch;
}

// A line as the sources hand it out: Ctrl-Z alone on a line ends the input.
LineFetch fetched_line(std::string_view text) {
  if (text.size() == 1 && text[0] == k_ctrl_z) return end_of_input();
  LineFetch fetch;
  fetch.kind = LineFetch::Kind::line;
  fetch.text = text;
  return fetch;
}

std::string_view without_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

LineFetch MemoryLineSource::next_line() {
  if (m_rest.empty()) return end_of_input();
  const std::size_t lf = m_rest.find('\n');
  if (lf == std::string_view::npos) {
    // The input ends without a line feed: the last bytes still form a line.
    const std::string_view line = m_rest;
    m_rest = {};
    return fetched_line(line);
  }
  const std::string_view line = without_cr(m_rest.substr(0, lf));
  m_rest.remove_prefix(lf + 1);
  return fetched_line(line);
}

LineReader::LineReader(int fd, std::size_t initial_capacity)
    : m_fd(fd),
      m_is_terminal(::isatty(fd) == 1),
      m_initial_capacity(std::max<std::size_t>(initial_capacity, 1)) {}

LineFetch LineReader::next_line() {
  m_begin = m_next;
  m_scanned = std::max(m_scanned, m_begin);
  for (;;) {
    const char* data = m_buffer.data();
    if (const void* lf = std::memchr(data + m_scanned, '\n', m_end - m_scanned)) {
      const auto at = static_cast<std::size_t>(static_cast<const char*>(lf) - data);
      const std::size_t line_end = at > m_begin && data[at - 1] == '\r' ? at - 1 : at;
      return hand_out(line_end, at + 1);
    }
    m_scanned = m_end;
    if (!make_room()) return failed_fetch(k_record_too_long, 0);
    const ssize_t n = ::read(m_fd, m_buffer.data() + m_end, m_buffer.size() - m_end);
    if (n > 0) {
      m_end += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 || errno == EPIPE) {
      if (m_end == m_begin) return end_of_input();
      return hand_out(m_end, m_end);
    }
    const int error = errno;
    if (error == EINTR) {
      // A signal interrupted the wait; a console event ends the run on its
      // own thread, so give that thread the processor before reading on.
      ::sched_yield();
      continue;
    }
    if (error == EAGAIN || error == EWOULDBLOCK) {
      // Standard input was left non-blocking by whoever started us: wait for
      // bytes instead of failing.
      pollfd wanted{m_fd, POLLIN, 0};
      if (::poll(&wanted, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return failed_read(error);
  }
}

// Makes room for the next read. Bytes of lines already handed out are dropped
// first; the buffer doubles when the current line fills more than half of it.
bool LineReader::make_room() {
  if (m_end < m_buffer.size()) return true;
  if (m_begin > 0) {
    std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
    m_end -= m_begin;
    m_scanned -= m_begin;
    m_next -= m_begin;
    m_begin = 0;
  }
  if (m_buffer.empty() || m_end > m_buffer.size() / 2) {
    try {
      m_buffer.resize(m_buffer.empty() ? m_initial_capacity : m_buffer.size() * 2);
    } catch (const std::bad_alloc&) {
      return false;
    } catch (const std::length_error&) {
      return false;
    }
  }
  return true;
}

LineFetch LineReader::hand_out(std::size_t line_end, std::size_t next) {
  m_next = next;
  m_scanned = next;
  return fetched_line(std::string_view(m_buffer.data() + m_begin, line_end - m_begin));
}

LineFetch LineReader::failed_read(int error) {
  if (error == EIO && m_is_terminal) {
    for (int step = 0; step < k_hangup_wait_steps; ++step) {
      const timespec pause{0, k_hangup_wait_step_ns};
      ::nanosleep(&pause, nullptr);
    }
  }
  return failed_fetch(k_error_during_read, error);
}

namespace {

AnswerOutcome value_of(std::int32_t value) {
  AnswerOutcome outcome;
  outcome.kind = AnswerOutcome::Kind::value;
  outcome.value = value;
  return outcome;
}
AnswerOutcome unchanged() { return AnswerOutcome{}; }
AnswerOutcome failure(DiagnosticCode code, int system_error = 0) {
  AnswerOutcome outcome;
  outcome.kind = AnswerOutcome::Kind::failed;
  outcome.code = code;
  outcome.system_error = system_error;
  return outcome;
}

// A CR left in a line (one not before LF, as at the end of a last line
// without LF) counts as a blank, so "5" CR still reads 5.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
// Ends a number token or a logical word; a number token also ends at '*'.
bool ends_value(char c) { return is_blank(c) || c == ',' || c == '/' || c == ')'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_sign(char c) { return c == '+' || c == '-'; }
bool is_exponent_letter(char c) {
  return c == 'E' || c == 'e' || c == 'D' || c == 'd' || c == 'Q' || c == 'q';
}
bool is_logical_letter(char c) { return c == 'T' || c == 't' || c == 'F' || c == 'f'; }

// The current line of one answer and the position in it.
struct Cursor {
  LineSource& lines;
  std::string_view line{};
  std::size_t pos = 0;

  bool at_line_end() const { return pos >= line.size(); }
  char current() const { return line[pos]; }
};

// Moves to the start of the next line; the end of the input or a failed read
// gives the outcome of the answer.
std::optional<AnswerOutcome> advance_line(Cursor& cursor) {
  const LineFetch fetch = cursor.lines.next_line();
  switch (fetch.kind) {
    case LineFetch::Kind::line:
      cursor.line = fetch.text;
      cursor.pos = 0;
      return std::nullopt;
    case LineFetch::Kind::end_of_input:
      return failure(k_end_of_file_during_read);
    case LineFetch::Kind::failed:
      break;
  }
  return failure(fetch.code, fetch.system_error);
}

// Passes over blanks, empty lines and line ends up to the next character.
std::optional<AnswerOutcome> skip_blanks(Cursor& cursor) {
  for (;;) {
    while (!cursor.at_line_end() && is_blank(cursor.current())) ++cursor.pos;
    if (!cursor.at_line_end()) return std::nullopt;
    if (auto failed = advance_line(cursor)) return failed;
  }
}

// Quoted text never gives a value. It is scanned to its closing mark, over as
// many lines as it takes, only to tell a conversion error from a syntax error
// (too long) and from the end of the input (never closed); the scan stops as
// soon as the text is too long, so it never waits for more than that.
AnswerOutcome read_quoted_text(Cursor& cursor) {
  const char mark = cursor.current();
  ++cursor.pos;
  std::size_t length = 0;
  for (;;) {
    if (cursor.at_line_end()) {
      if (auto failed = advance_line(cursor)) return *failed;
      continue;
    }
    const char c = cursor.current();
    ++cursor.pos;
    if (c == mark) {
      if (cursor.at_line_end() || cursor.current() != mark) return failure(k_conversion_error);
      ++cursor.pos;  // a doubled mark stands for one
    }
    if (++length > k_max_quoted_length) return failure(k_syntax_error);
  }
}

// The shape rules of a number token, before any conversion: digits, signs,
// one full stop, one exponent letter after a digit, a digit after the start
// and after every sign, and no sign right after a sign.
bool is_well_formed(std::string_view token) {
  bool seen_sign = false;
  bool digit_since_sign = false;  // since the start or the last sign
  bool seen_stop = false;
  bool seen_exponent = false;
  for (const char c : token) {
    if (is_digit(c)) {
      digit_since_sign = true;
    } else if (is_sign(c)) {
      if (seen_sign && !digit_since_sign) return false;
      seen_sign = true;
      digit_since_sign = false;
    } else if (c == '.') {
      if (seen_stop) return false;
      seen_stop = true;
    } else if (is_exponent_letter(c)) {
      if (seen_exponent || !digit_since_sign) return false;
      seen_exponent = true;
    } else {
      return false;
    }
  }
  return digit_since_sign;
}

// Integer form: an optional leading sign, then digits (leading zeros allowed),
// in the 32-bit range.
std::optional<std::int32_t> integer_of(std::string_view token) {
  bool negative = false;
  if (!token.empty() && is_sign(token.front())) {
    negative = token.front() == '-';
    token.remove_prefix(1);
  }
  if (token.empty()) return std::nullopt;
  constexpr std::int64_t k_limit = std::int64_t{1} << 31;
  std::int64_t magnitude = 0;
  for (const char c : token) {
    if (!is_digit(c)) return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > k_limit) return std::nullopt;
  }
  if (!negative && magnitude == k_limit) return std::nullopt;
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

// Truncated toward zero as a 64-bit integer, of which the low 32 bits are
// kept; a magnitude of 2^63 or more has no 64-bit value and gives 0.
std::int32_t low_32_bits_toward_zero(double number) {
  const double whole = std::trunc(number);
  if (!(std::fabs(whole) < 9223372036854775808.0)) return 0;
  const auto wide = static_cast<std::uint64_t>(static_cast<std::int64_t>(whole));
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(wide));
}

// Floating form: a decimal number in double precision with an optional
// exponent after E, D or Q. The exponent needs digits ("1e" does not
// convert) and a sign alone does not start one ("1.5-3" does not convert).
// Beyond the double range, either way, the number has no 64-bit value: 0.
std::optional<std::int32_t> floating_of(std::string_view token) {
  if (token.front() == '+') token.remove_prefix(1);
  std::string spelled;  // from_chars knows E only
  if (std::any_of(token.begin(), token.end(), [](char c) { return is_exponent_letter(c); })) {
    spelled.assign(token);
    for (char& c : spelled) {
      if (is_exponent_letter(c)) c = 'e';
    }
    token = spelled;
  }
  double number = 0;
  const char* end = token.data() + token.size();
  const auto [stop, error] = std::from_chars(token.data(), end, number);
  if (stop != end) return std::nullopt;
  if (error == std::errc::result_out_of_range) return 0;
  if (error != std::errc{}) return std::nullopt;
  return low_32_bits_toward_zero(number);
}

AnswerOutcome converted(std::string_view token) {
  const bool floating =
      std::any_of(token.begin(), token.end(), [](char c) { return c == '.' || is_exponent_letter(c); });
  const std::optional<std::int32_t> value = floating ? floating_of(token) : integer_of(token);
  if (!value) return failure(k_conversion_error);
  return value_of(*value);
}

AnswerOutcome parse_from_fresh_line(LineSource& lines) {
  Cursor cursor{.lines = lines};
  if (auto failed = advance_line(cursor)) return *failed;
  if (auto failed = skip_blanks(cursor)) return *failed;
  bool parenthesis_open = false;
  // One pass per item: the value, or what comes before it ('(' or a repeat
  // count); each pass starts on a character of the current line.
  for (;;) {
    const char first = cursor.current();
    if (first == ',' || first == '/') return unchanged();
    if (first == '\'' || first == '"') return read_quoted_text(cursor);
    if (first == ')') return failure(k_syntax_error);
    if (first == '(') {
      if (parenthesis_open) return failure(k_syntax_error);
      parenthesis_open = true;
      ++cursor.pos;
      if (auto failed = skip_blanks(cursor)) return *failed;
      continue;
    }
    const std::string_view rest = cursor.line.substr(cursor.pos);
    const char letter = first == '.' && rest.size() > 1 ? rest[1] : first;
    if (is_logical_letter(letter)) return value_of(letter == 'T' || letter == 't' ? -1 : 0);

    std::size_t length = 0;
    while (length < rest.size() && !ends_value(rest[length]) && rest[length] != '*') ++length;
    const std::string_view token = rest.substr(0, length);
    if (!is_well_formed(token)) return failure(k_syntax_error);
    cursor.pos += length;
    if (cursor.at_line_end() || cursor.current() != '*') return converted(token);

    // A repeat count: it must convert, but has no further effect.
    if (!integer_of(token)) return failure(k_conversion_error);
    ++cursor.pos;
    if (cursor.at_line_end() || is_blank(cursor.current()) || cursor.current() == ',') {
      return unchanged();
    }
  }
}

}  // namespace

AnswerOutcome parse_answer(LineSource& lines) {
  try {
    return parse_from_fresh_line(lines);
  } catch (const std::bad_alloc&) {
    // Spelling out a very long floating token found no memory.
    return failure(k_record_too_long);
  }
}

void read_answer(std::int32_t& variable) {
  static LineReader console(0);
  const AnswerOutcome outcome = parse_answer(console);
  switch (outcome.kind) {
    case AnswerOutcome::Kind::value:
      variable = outcome.value;
      return;
    case AnswerOutcome::Kind::unchanged:
      return;
    case AnswerOutcome::Kind::failed:
      break;
  }
  raise_fatal(outcome.code, k_console_input_unit, "CONIN$", outcome.system_error);
}

}  // namespace plysect

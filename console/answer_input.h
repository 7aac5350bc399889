// Console answer input: the integer answers of the set-up dialogue, one per
// call, read from standard input with a small, forgiving syntax.
//
// The console input is cut into lines at LF (a CR right before it is dropped
// too); a final line needs no LF; a line may be of any length. The input ends
// at end of file, at a broken pipe, or at a line holding only Ctrl-Z (byte 26).
//
// One answer, starting on a fresh line (the rest of the previous answer's
// line is discarded), after blanks, tabs and empty lines:
//   ,  or  /                  no value: the variable keeps its value
//   T... t... F... f... .T... a logical word: -1 for T, 0 for F
//   'text'  "text"            never valid: conversion error (syntax error
//                             when longer than 2049 characters)
//   (                         passed over once; a second one is an error
//   r*value                   a repeat count (any 32-bit integer, no further
//                             effect); r* with nothing after it gives no value
//   123  -7  +5  007          integer form, in the 32-bit range
//   5.7  1e3  -2.9D0  .1Q4    floating form: truncated toward zero, the low
//                             32 bits of the 64-bit result stored (1e10 gives
//                             1410065408; 2^63 and beyond give 0)
// Nothing after the value on its line is looked at. What cannot be read ends
// the run with a fatal diagnostic on unit -4, file "CONIN$".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "console/termination.h"

namespace plysect {

// What a line source delivers for one request.
struct LineFetch {
  enum class Kind { line, end_of_input, failed };
  Kind kind = Kind::end_of_input;
  // Kind::line: the line without its line end; valid until the next request.
  std::string_view text;
  // Kind::failed: k_error_during_read (with the errno of the failed read) or
  // k_record_too_long (no memory to hold the line).
  DiagnosticCode code = 0;
  int system_error = 0;
};

// Where the answer grammar takes its lines from.
class LineSource {
 public:
  virtual LineFetch next_line() = 0;

 protected:
  ~LineSource() = default;
};

// Console lines from bytes held in memory (tests and the fuzzer); cut exactly
// as LineReader cuts the bytes it reads.
class MemoryLineSource final : public LineSource {
 public:
  explicit MemoryLineSource(std::string_view bytes) : m_rest(bytes) {}
  LineFetch next_line() override;

 private:
  std::string_view m_rest;
};

// The console input on a file descriptor, read with plain read(), so a
// terminal, a pipe and a redirected file are read alike. Bytes read beyond
// the current line wait in the buffer for the next request.
class LineReader final : public LineSource {
 public:
  static constexpr std::size_t k_initial_capacity = 4096;

  // `initial_capacity` (at least 1) only lets tests make the buffer grow.
  explicit LineReader(int fd, std::size_t initial_capacity = k_initial_capacity);
  LineFetch next_line() override;

 private:
  bool make_room();  // false: no memory for a larger buffer
  LineFetch hand_out(std::size_t line_end, std::size_t next);
  LineFetch failed_read(int error);

  int m_fd;
  bool m_is_terminal;  // known before a hang-up: a hung-up terminal is no tty
  std::size_t m_initial_capacity;
  std::string m_buffer;
  std::size_t m_begin = 0;    // first byte of the current line
  std::size_t m_next = 0;     // first byte after the current line
  std::size_t m_scanned = 0;  // bytes before this hold no LF of the line
  std::size_t m_end = 0;      // end of the bytes read
};

// The outcome of one answer.
struct AnswerOutcome {
  enum class Kind { value, unchanged, failed };
  Kind kind = Kind::unchanged;
  std::int32_t value = 0;  // Kind::value
  DiagnosticCode code = 0;  // Kind::failed: 24, 59, 64, or the source's 39 or 22
  int system_error = 0;     // Kind::failed: errno of a failed read, or 0
};

// The answer grammar: reads one answer from `lines`, starting with a new line.
// Touches nothing but `lines`.
AnswerOutcome parse_answer(LineSource& lines);

// Reads one answer from standard input into `variable`, or leaves it as it
// was when the answer gives no value. A failure does not return: it raises
// the fatal diagnostic on unit -4, file "CONIN$".
void read_answer(std::int32_t& variable);

}  // namespace plysect

// Test helpers that take a traceback apart: the frame lines of a diagnostic
// on standard error, split at their fixed columns, and the line numbers of
// our own sources that the frames should name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tests/test_support.h"

namespace plysect::testing {

// Whether the tool was built with a stack walker; without one, a severe
// diagnostic has no traceback and writes nothing to standard output.
#ifdef PLYSECT_HAVE_LIBBACKTRACE
inline constexpr bool k_have_traceback = true;
#else
inline constexpr bool k_have_traceback = false;
#endif

inline constexpr std::string_view k_traceback_header =
    "Image              PC        Routine            Line        Source             \n";

struct TracebackFrame {
  std::string text;  // the whole line, without its line break
  std::string image;
  std::string pc;
  std::string routine;
  std::string line;
  std::string source;
  bool well_formed = false;  // fields in their columns, two blanks between
};

struct Traceback {
  std::string before;  // what precedes the header: the diagnostic lines
  bool has_header = false;
  std::vector<TracebackFrame> frames;
  std::string after;  // what follows the frame lines
};

inline std::string trim_right(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

inline std::string trim_left(std::string text) {
  const std::size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : text.substr(first);
}

inline bool is_upper_hex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// Image cut to 17, PC in 8 hex digits, routine cut to 17, line right-aligned
// in 10, source: at columns 0, 19, 29, 48 and 60.
inline TracebackFrame parse_frame_line(const std::string& text) {
  TracebackFrame frame;
  frame.text = text;
  if (text.size() <= 60) return frame;
  frame.image = trim_right(text.substr(0, 17));
  frame.pc = text.substr(19, 8);
  frame.routine = trim_right(text.substr(29, 17));
  frame.line = trim_left(text.substr(48, 10));
  frame.source = text.substr(60);
  const bool separated = text.substr(17, 2) == "  " && text.substr(27, 2) == "  " &&
                         text.substr(46, 2) == "  " && text.substr(58, 2) == "  ";
  const bool line_ok =
      frame.line == "Unknown" ||
      (!frame.line.empty() && frame.line.find_first_not_of("0123456789") == std::string::npos);
  frame.well_formed = separated && is_upper_hex(frame.pc) && !frame.image.empty() &&
                      !frame.routine.empty() && line_ok && !frame.source.empty() &&
                      frame.source.find(' ') == std::string::npos;
  return frame;
}

// Splits standard error at the header line; the frame lines run up to the
// first line that is not one.
inline Traceback parse_traceback(const std::string& err) {
  Traceback result;
  const std::size_t header = err.find(k_traceback_header);
  if (header == std::string::npos) {
    result.before = err;
    return result;
  }
  result.has_header = true;
  result.before = err.substr(0, header);
  std::size_t at = header + k_traceback_header.size();
  while (at < err.size()) {
    const std::size_t end = err.find('\n', at);
    if (end == std::string::npos) break;
    TracebackFrame frame = parse_frame_line(err.substr(at, end - at));
    if (!frame.well_formed) break;
    result.frames.push_back(std::move(frame));
    at = end + 1;
  }
  result.after = err.substr(at);
  return result;
}

// The first frame whose routine is `routine`, or null.
inline const TracebackFrame* find_frame(const Traceback& traceback, std::string_view routine) {
  for (const auto& frame : traceback.frames) {
    if (frame.routine == routine) return &frame;
  }
  return nullptr;
}

// The number (from 1) of the first line of our source file `path` (relative
// to the source tree) that holds `needle`; 0 when none does.
inline int source_line_of(const std::string& path, std::string_view needle) {
  const std::string text = read_file(std::string(PLYSECT_SOURCE_DIR) + "/" + path);
  int number = 1;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    const std::string_view line =
        std::string_view(text).substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (line.find(needle) != std::string_view::npos) return number;
    if (end == std::string::npos) break;
    at = end + 1;
    ++number;
  }
  return 0;
}

}  // namespace plysect::testing

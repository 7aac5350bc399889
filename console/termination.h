// Every way a run ends: the normal end, the end with a termination message,
// and the fatal diagnostic. None of them returns; each passes through the
// end-of-run close (close_all_units) before the process ends.
//
// A diagnostic line reads "plysect: <severity> (<number>): <message>\n". A
// diagnostic code holds the severity class in bits 31-30 (1 info, 2 error,
// 3 severe) and the error number in bits 15-0. A severe diagnostic is fatal:
// it carries a traceback and ends the process with the code as exit status,
// of which the parent sees the low 8 bits.
#pragma once

#include <cstdint>
#include <string_view>

namespace plysect {

using DiagnosticCode = std::uint32_t;

inline constexpr DiagnosticCode k_read_only_write = 0xC000002F;        // 47
inline constexpr DiagnosticCode k_end_of_file_during_read = 0xC0000018;  // 24
inline constexpr DiagnosticCode k_error_during_read = 0xC0000027;      // 39
inline constexpr DiagnosticCode k_error_during_write = 0xC0000026;     // 38
inline constexpr DiagnosticCode k_permission_denied = 0xC0000009;      // 9
inline constexpr DiagnosticCode k_file_not_found = 0xC000001D;         // 29
inline constexpr DiagnosticCode k_open_failure = 0xC000001E;           // 30
inline constexpr DiagnosticCode k_file_name_error = 0xC000002B;        // 43
inline constexpr DiagnosticCode k_no_such_device = 0xC000002A;         // 42
inline constexpr DiagnosticCode k_record_too_long = 0xC0000016;        // 22
inline constexpr DiagnosticCode k_close_error = 0xC000001C;            // 28
inline constexpr DiagnosticCode k_syntax_error = 0xC000003B;           // 59
inline constexpr DiagnosticCode k_conversion_error = 0xC0000040;       // 64
inline constexpr DiagnosticCode k_console_event = 0x800000C8;          // 200
inline constexpr DiagnosticCode k_array_bounds = 0xC00000A1;           // 161
inline constexpr DiagnosticCode k_integer_divide_by_zero = 0xC00000A4; // 164
inline constexpr DiagnosticCode k_access_violation = 0xC000009D;       // 157
inline constexpr DiagnosticCode k_stack_overflow = 0xC00000AA;         // 170
inline constexpr DiagnosticCode k_other_exception = 0xC00000AC;        // 172

inline constexpr int k_console_input_unit = -4;   // file "CONIN$"
inline constexpr int k_console_output_unit = -1;  // file "CONOUT$"

// The values that fill a template's placeholders: "%d" takes `unit`, "%s"
// takes `text` (a file name, or the event word of error 200), "%lx" and "%ld"
// take `number`. A non-zero `system_error` (an errno) puts the system error
// line, "plysect: <the system's text>", before the diagnostic line.
struct DiagnosticValues {
  int unit = 0;
  std::string_view text;
  long number = 0;
  int system_error = 0;
};

// The normal end: close every unit, exit status 0.
[[noreturn]] void end_run();
// Writes `message` and CR LF to standard error in one write, closes every
// unit and ends with exit status 1: a refused run is no success.
[[noreturn]] void end_run_with_message(std::string_view message);

// Prints the diagnostic; a severe one also gets its traceback, then the run
// ends with the code as exit status. A non-fatal one returns.
void raise_diagnostic(DiagnosticCode code, const DiagnosticValues& values = {});
// A severe diagnostic about a transfer on a unit; never returns.
[[noreturn]] void raise_fatal(DiagnosticCode code, int unit, std::string_view name,
                              int system_error = 0);
// The last-resort report of a machine exception: like a severe
// raise_diagnostic, with the traceback starting at `fault_pc`. Uses no
// allocation, so it may run inside a signal handler.
[[noreturn]] void raise_exception_diagnostic(DiagnosticCode code, const DiagnosticValues& values,
                                             std::uintptr_t fault_pc);

// The diagnostic line of `code` without traceback, for tests and the above.
class DiagnosticText;
void append_diagnostic_line(DiagnosticText& text, DiagnosticCode code,
                            const DiagnosticValues& values);

}  // namespace plysect

#include "console/termination.h"

#include <array>
#include <cstring>
#include <string>
#include <unistd.h>

#include "console/diagnostic_text.h"
#include "console/system_io.h"
#include "console/traceback.h"
#include "console/units.h"

namespace plysect {

namespace {

constexpr std::string_view k_prefix = "plysect";

struct CatalogueEntry {
  DiagnosticCode code;
  std::string_view template_text;
};

constexpr std::array k_catalogue{
    CatalogueEntry{k_end_of_file_during_read, "end-of-file during read, unit %d, file %s\n"},
    CatalogueEntry{k_error_during_read, "error during read, unit %d, file %s\n"},
    CatalogueEntry{k_error_during_write, "error during write, unit %d, file %s\n"},
    CatalogueEntry{k_permission_denied, "permission to access file denied, unit %d, file %s\n"},
    CatalogueEntry{k_file_not_found, "file not found, unit %d, file %s\n"},
    CatalogueEntry{k_open_failure, "open failure, unit %d, file %s\n"},
    CatalogueEntry{k_file_name_error, "file name specification error, unit %d, file %s\n"},
    CatalogueEntry{k_no_such_device, "no such device, unit %d, file %s\n"},
    CatalogueEntry{k_read_only_write, "write to READONLY file, unit %d, file %s\n"},
    CatalogueEntry{k_record_too_long, "input record too long, unit %d, file %s\n"},
    CatalogueEntry{k_close_error, "CLOSE error, unit %d, file %s\n"},
    CatalogueEntry{k_syntax_error, "list-directed I/O syntax error, unit %d, file %s\n"},
    CatalogueEntry{k_conversion_error, "input conversion error, unit %d, file %s\n"},
    CatalogueEntry{k_console_event, "program aborting due to %s event\n"},
    CatalogueEntry{k_array_bounds, "Program Exception - array bounds exceeded\n"},
    CatalogueEntry{k_integer_divide_by_zero, "Program Exception - integer divide by zero\n"},
    CatalogueEntry{k_access_violation, "Program Exception - access violation\n"},
    CatalogueEntry{k_stack_overflow, "Program Exception - stack overflow\n"},
    CatalogueEntry{k_other_exception, "Program Exception - exception code = 0x%lx (%ld)\n"},
};

std::string_view template_of(DiagnosticCode code) {
  for (const auto& entry : k_catalogue) {
    if (entry.code == code) return entry.template_text;
  }
  return "unknown diagnostic\n";
}

std::string_view severity_word(DiagnosticCode code) {
  switch (code >> 30) {
    case 1: return "info";
    case 2: return "error";
    case 3: return "severe";
    default: return "success";
  }
}

bool is_severe(DiagnosticCode code) { return (code >> 30) == 3; }

void append_system_error_line(DiagnosticText& text, int system_error) {
  text.append(k_prefix);
  text.append(": ");
  if (const char* description = ::strerrordesc_np(system_error)) {
    text.append(description);
  } else {
    text.append("FormatMessage failed for sysmem message number ");
    text.append_decimal(system_error);
  }
  text.append('\n');
}

[[noreturn]] void end_process(int status) {
  ::_exit(status);
}

// Prints a severe diagnostic with its traceback and ends the run.
[[noreturn]] void report_severe(DiagnosticCode code, const DiagnosticValues& values,
                                std::uintptr_t start_pc) {
  claim_end_of_run();
  static DiagnosticText text;  // static: too large for an alternate signal stack
  text.clear();  // a failed close during the end of a run reports afresh
  if (values.system_error != 0) append_system_error_line(text, values.system_error);
  append_diagnostic_line(text, code, values);
  append_traceback(text, start_pc);
  write_all(2, text.view());
  close_all_units();
  end_process(static_cast<int>(code));
}

}  // namespace

void append_diagnostic_line(DiagnosticText& text, DiagnosticCode code,
                            const DiagnosticValues& values) {
  text.append(k_prefix);
  text.append(": ");
  text.append(severity_word(code));
  text.append(" (");
  text.append_decimal(code & 0xFFFF);
  text.append("): ");
  const std::string_view pattern = template_of(code);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::string_view rest = pattern.substr(i);
    if (rest.starts_with("%d")) {
      text.append_decimal(values.unit);
      i += 1;
    } else if (rest.starts_with("%s")) {
      text.append(values.text);
      i += 1;
    } else if (rest.starts_with("%lx")) {
      text.append_hex(static_cast<std::uint64_t>(values.number));
      i += 2;
    } else if (rest.starts_with("%ld")) {
      text.append_decimal(values.number);
      i += 2;
    } else {
      text.append(pattern[i]);
    }
  }
}

void end_run() {
  close_all_units();
  end_process(0);
}

void end_run_with_message(std::string_view message) {
  claim_end_of_run();
  std::string line(message);
  line += "\r\n";
  write_all(2, line);
  close_all_units();
  end_process(1);
}

void raise_diagnostic(DiagnosticCode code, const DiagnosticValues& values) {
  if (is_severe(code)) report_severe(code, values, 0);
  DiagnosticText text;
  if (values.system_error != 0) append_system_error_line(text, values.system_error);
  append_diagnostic_line(text, code, values);
  write_all(2, text.view());
}

void raise_fatal(DiagnosticCode code, int unit, std::string_view name, int system_error) {
  report_severe(code, DiagnosticValues{unit, name, 0, system_error}, 0);
}

void raise_exception_diagnostic(DiagnosticCode code, const DiagnosticValues& values,
                                std::uintptr_t fault_pc) {
  report_severe(code, values, fault_pc);
}

}  // namespace plysect

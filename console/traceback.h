// The traceback appended to every severe diagnostic: a header line, then one
// line per stack frame (image, code address, routine, line, source), at most
// 20 frames. Left out where the tool was built without a stack walker.
//
// A frame line reads: the file name of the executable or library that holds
// the code (cut to 17), the code address as its offset within that file in 8
// upper-case hex digits (what `addr2line -e FILE` takes), the routine's own
// name (cut to 17), the line number right-aligned in 10 and the source file
// name, two blanks between the fields; "Unknown" where a value is not found.
//
// Everything here runs without allocating on the heap, so the last-resort
// report of a machine exception can use it inside its signal handler.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "console/diagnostic_text.h"

namespace plysect {

// Sets up the stack walker. Called once at start-up; the first traceback
// does it otherwise.
void prepare_traceback();

// Appends the traceback of the current stack to `text`. With `start_pc` 0 the
// walk starts at the caller that raised the diagnostic; otherwise at the frame
// whose code address is `start_pc` (the faulting instruction). When the walk
// ends by itself before the frame limit, one line break goes to standard
// output (so the diagnostic starts on a fresh console line after a prompt);
// a walk that cannot reach the outermost frame ends its traceback with the
// line "Stack trace terminated abnormally.".
void append_traceback(DiagnosticText& text, std::uintptr_t start_pc);

// Called first by the machine-exception handler: when the fault happened
// while this thread was walking its stack (a damaged stack can make the
// walker itself fault), the walk is abandoned and the traceback completed as
// far as it got; the call then does not return. Otherwise it returns.
void abandon_traceback_after_fault();

// The routine's own name from its symbol, as the Routine column shows it: a
// C++ symbol gives its last name component without namespace, class or
// parameters (a constructor its class name, a destructor "~" and the class
// name, a lambda the routine it sits in); any other symbol is shown as it is.
// May put the name into `scratch` (a destructor's "~"); cut to its size then.
std::string_view short_routine_name(std::string_view symbol, std::span<char> scratch);

}  // namespace plysect

// The traceback appended to every severe diagnostic: a header line, then one
// line per stack frame (image, code address, routine, line, source), at most
// 20 frames. Left out where the tool was built without a stack walker.
#pragma once

#include <cstdint>

#include "console/diagnostic_text.h"

namespace plysect {

// Appends the traceback of the current stack to `text`. With `start_pc` 0 the
// walk starts at the caller that raised the diagnostic; otherwise at the frame
// whose code address is `start_pc` (the faulting instruction).
void append_traceback(DiagnosticText& text, std::uintptr_t start_pc);

}  // namespace plysect

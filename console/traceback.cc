#include "console/traceback.h"

namespace plysect {

// The stack walker is not built in yet: the traceback is left out.
void append_traceback(DiagnosticText&, std::uintptr_t) {}

}  // namespace plysect

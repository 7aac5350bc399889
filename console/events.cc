#include "console/events.h"

namespace plysect {

// Console events and machine exceptions keep the platform's default course
// until their handlers are built in.
void install_event_handlers() {}

}  // namespace plysect

// The run's safety frame, installed first thing at start-up: console events
// (interrupt, break, window close) end the run with diagnostic 200, and a
// machine exception becomes a fatal diagnostic instead of a silent crash.
#pragma once

namespace plysect {

// Installs the console-event handler and the last-resort exception report.
// Call once, before any thread is started and before anything is printed.
void install_event_handlers();

}  // namespace plysect

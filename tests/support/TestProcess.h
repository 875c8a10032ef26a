#pragma once

// The test process's own queues, clock and console: the standard ones, one set per test
// process, as the entry point builds them for the program. Every simulated Mac a test makes
// in process runs on these, so a test serves the main queue its objects post to with
// `mainQueue().runQueuedWork()`. A test that moves time hands a clock of its own to what it
// builds (a download session's configuration takes one; ShiftedClock.h).

#include "platform/ProcessServices.h"

namespace vantrel::testsupport {

platform::ProcessServices processServices();
platform::MainQueue& mainQueue();
platform::Console& console();

}  // namespace vantrel::testsupport

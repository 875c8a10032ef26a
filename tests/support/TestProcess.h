#pragma once

// The test process's own queues, clock and console: the standard ones, one set per test
// process, as the entry point builds them for the program. Every simulated Mac a test makes
// in process runs on these, so a test serves the main queue its objects post to with
// `mainQueue().runQueuedWork()`. A test that moves time builds its Services with a clock of
// its own (servicesWithClock).

#include "platform/ProcessServices.h"
#include "platform/Services.h"

namespace vantrel::testsupport {

platform::ProcessServices processServices();
platform::MainQueue& mainQueue();
platform::Console& console();

// `services` with `clock` in place of theirs; the clock must outlive every user.
inline platform::Services servicesWithClock(const platform::Services& services,
                                            const platform::Clock& clock) {
    return {services.root,      services.appBundle,       services.machine,
            services.volumes,   services.applications,    services.log,
            services.mainQueue, services.backgroundQueue, clock,
            services.console};
}

}  // namespace vantrel::testsupport

#include "tests/support/TestProcess.h"

#include "platform/StandardProcessServices.h"

namespace vantrel::testsupport {

platform::ProcessServices processServices() {
    // Never destroyed: detached workers of a test may still use it while the process ends.
    static auto* standard = new platform::StandardProcessServices;
    return standard->services();
}

platform::MainQueue& mainQueue() {
    return processServices().mainQueue;
}

platform::Console& console() {
    return processServices().console;
}

}  // namespace vantrel::testsupport

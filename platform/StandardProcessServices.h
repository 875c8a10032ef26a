#pragma once

#include "platform/LoopMainQueue.h"
#include "platform/ProcessServices.h"
#include "platform/StandardConsole.h"
#include "platform/SystemClock.h"
#include "platform/ThreadBackgroundQueue.h"

namespace vantrel::platform {

// The process services as the operating system provides them: a main queue served by the
// main thread, a thread per background item, the system's clocks, standard output and
// _Exit. One per process, made by the entry point and never destroyed (the process ends with
// exitProcess while workers may still use it).
class StandardProcessServices {
  public:
    StandardProcessServices() = default;
    StandardProcessServices(const StandardProcessServices&) = delete;
    StandardProcessServices& operator=(const StandardProcessServices&) = delete;

    ProcessServices services() { return {mainQueue_, backgroundQueue_, clock_, console_}; }

  private:
    LoopMainQueue mainQueue_;
    ThreadBackgroundQueue backgroundQueue_;
    SystemClock clock_;
    StandardConsole console_;
};

}  // namespace vantrel::platform

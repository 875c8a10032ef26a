#pragma once

#include <cstdlib>
#include <string_view>

namespace vantrel::platform {

// Standard output and the end of the process, which go together: once one thread has taken
// the end, no other thread's line or end may come before the one it decides.
class Console {
  public:
    virtual ~Console() = default;

    // Writes one whole line and flushes it, so a management system reading the pipe sees each
    // line at once and none is lost when the process ends or is signalled. Safe from any
    // thread; lines never interleave.
    virtual void printLine(std::string_view line) = 0;

    // Ends the process with `status` at once, from any thread, after the output is flushed.
    // No destructors or exit handlers run, as for a Mac application's exit(). Once another
    // thread has taken the end (takeProcessEnd), the call waits for that end instead.
    [[noreturn]] void exitProcess(int status) {
        endProcess(status);
        std::abort();  // an end that returned: nothing after it may run
    }

    // Makes the calling thread the one that ends the process: from now on other threads'
    // lines are dropped and their exitProcess waits, so the run's ending says and returns what
    // this thread decides. Returns false, having taken nothing, when another thread has taken
    // it already.
    virtual bool takeProcessEnd() = 0;

  protected:
    // exitProcess; does not return.
    virtual void endProcess(int status) = 0;
};

}  // namespace vantrel::platform

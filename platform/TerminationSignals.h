#pragma once

#include <functional>

namespace vantrel::platform {

// Hands the first SIGTERM, SIGINT or SIGHUP to `onSignal`, called with the signal's number on
// a thread of its own (never inside a signal handler), so it may lock, log and wait. A second
// one of them while `onSignal` runs ends the process at once with 128 + its number.
// `onSignal` is expected to end the process. A signal the caller started the program with
// ignored (SIGHUP under nohup) stays ignored. Call once, from the main thread, before any other
// thread is started: the signals are blocked on the calling thread, and so on every thread it
// starts later, and taken on the watcher's alone.
void watchTerminationSignals(std::function<void(int signal)> onSignal);

}  // namespace vantrel::platform

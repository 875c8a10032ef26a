#pragma once

#include <string_view>

namespace vantrel::platform {

// Whether the process keeps the environment variable `name`. Only what showing the window
// needs (the display and how to reach it) and the sanitizers' options of test builds are
// kept; everything else (proxies, TLS key logs, certificate locations, locale, home folder,
// loader and toolkit plug-in paths, ...) is the caller's, and nothing of the caller's
// configures this program or the libraries it loads.
bool isKeptEnvironmentVariable(std::string_view name);

// Removes every variable that isKeptEnvironmentVariable does not keep from the process's
// environment. Called first thing in main, before any library that reads the environment
// (libcurl and its TLS library, the window toolkit) is loaded and before any thread starts.
void restrictEnvironment();

}  // namespace vantrel::platform

#include "platform/Environment.h"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace vantrel::platform {

namespace {

constexpr std::array<std::string_view, 9> kKept{
    // The window: which display, the credentials to reach it, the toolkit's platform choice.
    "DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "QT_QPA_PLATFORM",
    // Read by the sanitizer runtimes of test builds (at start-up, before main); nothing else
    // reads them.
    "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"};

}  // namespace

bool isKeptEnvironmentVariable(std::string_view name) {
    for (const auto kept : kKept) {
        if (name == kept) {
            return true;
        }
    }
    return false;
}

void restrictEnvironment() {
    std::vector<std::pair<std::string, std::string>> kept;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view name = text.substr(0, equals);
        if (isKeptEnvironmentVariable(name)) {
            kept.emplace_back(std::string(name), std::string(text.substr(equals + 1)));
        }
    }
    ::clearenv();
    for (const auto& [name, value] : kept) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
}

}  // namespace vantrel::platform

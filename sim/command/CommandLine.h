#pragma once

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace vantrel::sim {

// Parses a subcommand's arguments with `app` and runs `body`. --help prints the options and
// succeeds; a bad command line is described on standard error with status 64; an error from
// `body` (an exception) is one line on standard error with status 1.
inline int runCommand(CLI::App& app, const std::vector<std::string>& arguments,
                      const std::function<int()>& body) {
    try {
        app.parse(std::vector<std::string>(arguments.rbegin(), arguments.rend()));
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError& error) {
        std::fprintf(stderr, "vantrel-sim %s: %s\n", app.get_name().c_str(), error.what());
        return 64;
    }
    try {
        return body();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantrel-sim %s: %s\n", app.get_name().c_str(), error.what());
        return 1;
    }
}

}  // namespace vantrel::sim

#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vantrel::sim {

// A subcommand of vantrel-sim. Each command file registers itself with a static
// CommandRegistration, so adding a command never touches another file.
struct Command {
    std::string summary;  // one line for the overview
    std::function<int(const std::vector<std::string>& arguments)> run;
};

std::map<std::string, Command>& commands();

struct CommandRegistration {
    CommandRegistration(const std::string& name, Command command) {
        commands().emplace(name, std::move(command));
    }
};

}  // namespace vantrel::sim

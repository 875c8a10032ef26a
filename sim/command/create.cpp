#include <cstdio>

#include "sim/command/Command.h"
#include "sim/command/CommandLine.h"
#include "sim/lib/SimulatedMac.h"

namespace vantrel::sim {

namespace {

int create(const std::vector<std::string>& arguments) {
    CLI::App app{
        "Makes a simulated Mac in DIR (a new or empty folder) and prints the path of the "
        "Vantrel program to run on it.",
        "create"};
    MacSpec spec;
    std::string folder;
    std::string consoleUser;
    std::string userName;
    std::string catalogServer;
    std::string certificate;
    app.add_option("DIR", folder, "Folder of the new Mac")->required();
    app.add_option("--os-version", spec.osVersion, "Running macOS version")->capture_default_str();
    app.add_option("--os-build", spec.osBuild, "Running macOS build")->capture_default_str();
    app.add_option("--board-id", spec.boardId, "Board id of the platform expert device")
        ->capture_default_str();
    app.add_option("--model", spec.model, "Model (\"compatible\" of the platform expert device)")
        ->capture_default_str();
    app.add_flag("--vm", spec.virtualMachine, "Run as a virtual machine (VMM processor flag)");
    auto* console = app.add_option("--console-user", consoleUser,
                                   "User logged in at the console (default: nobody)");
    auto* user = app.add_option("--user-name", userName,
                                "User name the program sees (default: the real effective user)");
    auto* server = app.add_option("--catalog-server", catalogServer,
                                  "Software-update server, e.g. https://localhost:8443");
    auto* cert = app.add_option("--trust-cert", certificate,
                                "PEM file of certificates the Mac trusts for HTTPS");
    return runCommand(app, arguments, [&] {
        if (console->count()) {
            spec.consoleUser = consoleUser;
        }
        if (user->count()) {
            spec.userName = userName;
        }
        if (server->count()) {
            spec.catalogServer = catalogServer;
        }
        if (cert->count()) {
            spec.trustedCertificate = certificate;
        }
        std::printf("%s\n", createSimulatedMac(folder, spec).c_str());
        return 0;
    });
}

const CommandRegistration registration{
    "create", {"make a simulated Mac in a folder and print the program to run on it", create}};

}  // namespace

}  // namespace vantrel::sim

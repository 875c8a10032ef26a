// The command line: arguments (cut at NUL bytes) evaluated into the run settings.

#include <cstdlib>

#include "app/ProcessArgs.h"
#include "base/SharedData.h"
#include "fuzz/FuzzSupport.h"

using namespace vantrel;

namespace {

// Whether a flag was given a value ("--erase=false") before "--" or help ends the options.
bool flagGivenAValue(const std::vector<std::string>& arguments) {
    for (const auto& argument : arguments) {
        if (argument == "--" || argument == "-h" || argument == "-help" || argument == "--help") {
            return false;
        }
        if (argument.size() > 2 && argument.rfind("-h", 0) == 0) {
            return true;  // help's short name with something after it
        }
        for (const char* flag : {"--erase=", "--showcancel=", "--appfolder=", "--noverify=",
                                 "--noforcequit=", "--help="}) {
            if (argument.rfind(flag, 0) == 0) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    if (size > 0) {
        arguments = fuzz::splitInput(fuzz::asText(data, size), std::string_view("\0", 1));
    }
    SharedData& settings = SharedData::shared();
    settings.restoreDefaults();
    const ProcessArgs::Outcome outcome = ProcessArgs::evaluate(arguments, settings);
    switch (outcome.kind) {
        case ProcessArgs::Outcome::Kind::Parsed:
            if (flagGivenAValue(arguments)) {
                std::abort();  // a flag takes no value
            }
            if (settings.osNamed != "Catalina" && settings.osNamed != "Mojave" &&
                settings.osNamed != "HighSierra") {
                std::abort();  // a run never goes on with an unknown release
            }
            if (!settings.install && !settings.cache && !settings.checkStatus) {
                std::abort();  // nor without an action
            }
            break;
        case ProcessArgs::Outcome::Kind::Rejected:
            if (outcome.output.size() != 1) {
                std::abort();
            }
            break;
        case ProcessArgs::Outcome::Kind::Exit:
            if (outcome.exitStatus < 0 || outcome.exitStatus > 2 || outcome.output.empty()) {
                std::abort();
            }
            break;
    }
    return 0;
}

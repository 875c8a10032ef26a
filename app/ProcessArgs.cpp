#include "app/ProcessArgs.h"

#include <CLI/CLI.hpp>

#include "base/Logging.h"

namespace vantrel {

namespace {

constexpr const char* kUsage = "| sudo <Vantrel --action install> | <Vantrel --action cache>";
constexpr const char* kSeeAlso = "corvane.example";

constexpr const char* kOverview =
    "Vantrel provides 'Erase All Contents and Settings' functionality for macOS. Vantrel will "
    "maintain a cached copy of the latest macOS installer from Apple that is supported on this "
    "hardware. If a macOS installer is cached, and it is found to be the latest version, Vantrel "
    "will exit. Vantrel provides a user interface for the 'preparing' phase of `startosinstall`. "
    "Vantrel can optionally do both the caching and the `startosinstall`, providing a user "
    "interface with progress for all three phases (the OS installer component downloads, "
    "assembling components into the macOS Installer.app, and the preparing phase for "
    "`startosintall`). This latter option is intended for systems that should run "
    "`startosinstall`, but don't have the convenience of a cached installer present on the "
    "system. If no user is logged into the system, the GUI will be supressed.";

constexpr const char* kOsnameUsage =
    "Required | Name of the macOS Installer to use (ie. Catalina, Mojave). Argument is used for "
    "both 'install' and 'cache' actions.";

#define VANTREL_ACTION_INDENT "                     "
constexpr const char* kActionUsage =
    "Required | install | cache | status\n" VANTREL_ACTION_INDENT
    "install: Runs `startosinstall` and presents a user interface displaying progress for the "
    "'Preparing' phase of the installer prior to the reboot\n" VANTREL_ACTION_INDENT
    "cache: Caches the latest available build of macOS (specified by --osname) that is "
    "compatible with the this Mac. Call daily to ensure the latest avialble build from Apple is "
    "being cached. Returns cached build if cached\n" VANTREL_ACTION_INDENT
    "status: returns <true> or <false> if an OS specified by --osname is currently cached\n"
    "\n" VANTREL_ACTION_INDENT
    "When both 'install' and 'cache' are used together, a user interface displays the progress "
    "for downloading macOS (if it is not currently cached), and the 'Preparing' phase for "
    "'startosinstall";
#undef VANTREL_ACTION_INDENT

constexpr const char* kEraseUsage =
    "Erase All Content And Settings, install a new copy of macOS. Requires '--action install'";
constexpr const char* kShowCancelUsage =
    "Show the cancel button in the UI. The cancel button will always be shown during an erase "
    "operation, but is optional for an install/upgrade.";
constexpr const char* kAppFolderUsage =
    "Leave the macOS installer in /Applications. By default the installer will be moved to our "
    "Application Support folder. If left in /Applications, macOS may remove it after use.";
constexpr const char* kNoVerifyUsage =
    "Supresses the 4-digit verification challenge presented when using the --erase option only. "
    "Use this for unattended erase workflows. Requires --erase option. Implied if no user is "
    "logged in to perform the challenge.";
constexpr const char* kNoForceQuitUsage =
    "By default, when using the --erase option, Vantrel will force quit any apps after the "
    "'preparing' phase. Use this option to override and prompt to close things safely.";

constexpr const char* kRequiredAction = "Required --action; use --help to list available options";
constexpr const char* kInvalidAction =
    "Invalid argument(s) for --action; use --help to list available options";
constexpr const char* kRequiredOsname = "Required --osname; use --help to list available options";
constexpr const char* kUnknownOsname =
    "Unknown OS name specified; use --help to list available options";

// The usage line of the generated help: the command name, then the fixed usage text.
class VantrelFormatter : public CLI::Formatter {
  public:
    std::string make_usage(const CLI::App* app, std::string name) const override {
        (void)app;
        return "USAGE: " + name + " " + kUsage + "\n";
    }
};

struct Declared {
    CLI::App app{kOverview, "Vantrel"};
    std::string osname;
    std::vector<std::string> actions;
    CLI::Option* osnameOption = nullptr;
    CLI::Option* actionOption = nullptr;
    CLI::Option* erase = nullptr;
    CLI::Option* showCancel = nullptr;
    CLI::Option* appFolder = nullptr;
    CLI::Option* noVerify = nullptr;
    CLI::Option* noForceQuit = nullptr;

    Declared() {
        app.formatter(std::make_shared<VantrelFormatter>());
        app.set_help_flag("-h,--help", "Display available options");
        app.footer(std::string("SEE ALSO: ") + kSeeAlso);
        osnameOption = app.add_option("-n,--osname", osname, kOsnameUsage);
        actionOption = app.add_option("-a,--action", actions, kActionUsage);
        erase = app.add_flag("--erase", kEraseUsage);
        showCancel = app.add_flag("--showcancel", kShowCancelUsage);
        appFolder = app.add_flag("--appfolder", kAppFolderUsage);
        noVerify = app.add_flag("--noverify", kNoVerifyUsage);
        noForceQuit = app.add_flag("--noforcequit", kNoForceQuitUsage);
    }
};

bool looksLikeOption(const std::string& argument) {
    return argument.size() > 1 && argument[0] == '-';
}

// An option that takes a value, given as the last argument or directly followed by another
// option: the name as it was written, for "Missing value for argument".
std::optional<std::string> optionMissingItsValue(const std::vector<std::string>& arguments) {
    static const char* const valued[] = {"--osname", "-n", "--action", "-a"};
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-h" || argument == "-help" || argument == "--help") {
            return std::nullopt;  // help is reached first
        }
        for (const char* name : valued) {
            if (argument == name &&
                (i + 1 == arguments.size() || looksLikeOption(arguments[i + 1]))) {
                return argument;
            }
        }
    }
    return std::nullopt;
}

// A flag takes no value. The parser would read "--erase=false" as a request to erase and
// "--noverify=0" as one to skip the challenge, and accepts "--erase=true" and "--erase=";
// it reads "-h=1" as help. Any "=" after the long name of an option that takes no value (the
// flags and help alike), and anything after its short name, is a parser error of its own
// kind. Arguments after "--" are positional; help reached before it still wins.
void refuseFlagValues(const CLI::App& app, const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--" || argument == "-h" || argument == "--help") {
            return;
        }
        std::string name;
        const bool isLong = argument.rfind("--", 0) == 0;
        if (isLong && argument.find('=') != std::string::npos) {
            name = argument.substr(2, argument.find('=') - 2);
        } else if (!isLong && argument.size() > 2 && argument[0] == '-') {
            name = argument.substr(1, 1);
        } else {
            continue;
        }
        for (const CLI::Option* option : app.get_options()) {
            if (option->get_items_expected_max() == 0 &&
                (isLong ? option->check_lname(name) : option->check_sname(name))) {
                throw CLI::ArgumentMismatch::FlagOverride((isLong ? "--" : "-") + name);
            }
        }
    }
}

std::optional<std::string> normalisedReleaseName(const std::string& given) {
    if (given == "Catalina" || given == "catalina") {
        return "Catalina";
    }
    if (given == "Mojave" || given == "mojave") {
        return "Mojave";
    }
    if (given == "HighSierra" || given == "highsierra") {
        return "HighSierra";
    }
    return std::nullopt;
}

ProcessArgs::Outcome exitWith(int status, const char* message) {
    ProcessArgs::Outcome outcome;
    outcome.kind = ProcessArgs::Outcome::Kind::Exit;
    outcome.exitStatus = status;
    outcome.output.push_back(message);
    outcome.debugMessage = message;
    return outcome;
}

}  // namespace

ProcessArgs::Outcome ProcessArgs::evaluate(const std::vector<std::string>& arguments,
                                           SharedData& settings) {
    Outcome outcome;
    Declared declared;

    // "-help" is the third spelling of help; the parser knows the other two.
    std::vector<std::string> normalised = arguments;
    for (auto& argument : normalised) {
        if (argument == "-help") {
            argument = "--help";
        }
    }
    if (auto option = optionMissingItsValue(normalised)) {
        outcome.kind = Outcome::Kind::Rejected;
        outcome.output.push_back("Missing value for argument " + *option + ".");
        return outcome;
    }
    try {
        refuseFlagValues(declared.app, normalised);
        std::vector<std::string> reversed(normalised.rbegin(), normalised.rend());
        declared.app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        outcome.kind = Outcome::Kind::Exit;
        outcome.exitStatus = 0;
        std::string help = declared.app.help();
        while (!help.empty() && help.back() == '\n') {
            help.pop_back();
        }
        outcome.output.push_back(help);
        return outcome;
    } catch (const CLI::ParseError& error) {
        outcome.kind = Outcome::Kind::Rejected;
        outcome.output.push_back(error.what());
        outcome.errorMessage = std::string(error.what()) + ".";
        return outcome;
    }

    if (declared.actionOption->count() == 0) {
        return exitWith(2, kRequiredAction);
    }
    const bool appFolder = declared.appFolder->count() > 0;
    for (const auto& action : declared.actions) {
        if (action == "install") {
            settings.install = true;
            settings.hasGUI = true;
        } else if (action == "cache") {
            settings.cache = true;
            if (appFolder) {
                settings.fileAway = false;
            }
        } else if (action == "status") {
            settings.checkStatus = true;
        } else {
            return exitWith(1, kInvalidAction);
        }
    }
    if (declared.osnameOption->count() == 0) {
        return exitWith(2, kRequiredOsname);
    }
    if (auto name = normalisedReleaseName(declared.osname)) {
        settings.osNamed = *name;
    } else {
        return exitWith(1, kUnknownOsname);
    }
    if (declared.erase->count() > 0) {
        settings.osWipe = true;
        settings.showCancel = true;
        settings.presentChallenge = declared.noVerify->count() == 0;
    }
    if (declared.noForceQuit->count() > 0) {
        settings.forceQuitApps = false;
    }
    if (declared.showCancel->count() > 0) {
        settings.showCancel = true;
    }
    return outcome;
}

bool ProcessArgs::parseArguments(const std::vector<std::string>& arguments) {
    const Outcome outcome = evaluate(arguments, SharedData::shared());
    for (const auto& line : outcome.output) {
        console_.printLine(line);
    }
    if (outcome.errorMessage) {
        argumentsLog().error("%{public}s", *outcome.errorMessage);
    }
    if (outcome.debugMessage) {
        argumentsLog().debug(*outcome.debugMessage);
    }
    switch (outcome.kind) {
        case Outcome::Kind::Parsed:
            return true;
        case Outcome::Kind::Rejected:
            return false;
        case Outcome::Kind::Exit:
            console_.exitProcess(outcome.exitStatus);
    }
    return false;
}

}  // namespace vantrel

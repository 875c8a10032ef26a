// The window plug-in and the executable meet at the plug-in's factory alone: the executable
// exports none of the program's code, the plug-in exports its factory and needs nothing of
// the program from outside itself, and the window's code calls no process-wide instance of
// the program (settings, centre, logs, queues, session, the Mac): what it uses comes in through
// WindowServices. A copy of a singleton inside the plug-in would be a second, unconfigured one.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ProgramRun.h"

namespace vantrel {
namespace {

using namespace std::chrono_literals;

// Demangled symbol names that `nm` lists with `options` for `file`, one per line.
std::vector<std::string> symbols(const std::string& file, std::vector<std::string> options) {
    options.push_back("--demangle");
    options.push_back("--format=just-symbols");
    options.push_back(file);
    const auto result = testsupport::runProgram("/usr/bin/nm", options, 60s);
    EXPECT_TRUE(result.exited(0)) << file << ": " << result.standardError;
    return result.outputLines();
}

bool isProgramSymbol(const std::string& name) {
    return name.find("vantrel") != std::string::npos;
}

std::vector<std::string> programSymbols(const std::vector<std::string>& names) {
    std::vector<std::string> program;
    std::copy_if(names.begin(), names.end(), std::back_inserter(program), isProgramSymbol);
    return program;
}

TEST(WindowPlugInTest, TheExecutableExportsNoneOfTheProgram) {
    const auto exported = symbols(VANTREL_EXECUTABLE, {"--dynamic", "--defined-only"});
    EXPECT_EQ(programSymbols(exported), std::vector<std::string>{});
}

TEST(WindowPlugInTest, ThePlugInExportsItsFactoryAloneAndTakesNothingOfTheProgram) {
    const auto exported = symbols(VANTREL_WINDOW_PLUGIN, {"--dynamic", "--defined-only"});
    EXPECT_EQ(programSymbols(exported), std::vector<std::string>{"vantrelMakeWindowHost"});
    const auto needed = symbols(VANTREL_WINDOW_PLUGIN, {"--dynamic", "--undefined-only"});
    EXPECT_EQ(programSymbols(needed), std::vector<std::string>{});
}

// The program's code the window's library calls from outside itself: the notification
// centre's operations on the centre it is handed, the names of the notifications and the
// random source. None of it keeps state of its own.
const std::set<std::string> kStatelessProgramCode = {
    "vantrel::NotificationCenter::addObserver", "vantrel::NotificationCenter::post",
    "vantrel::notificationnames::taskProgress", "vantrel::notificationnames::willPresentChallenge",
    "vantrel::notificationnames::wonChallenge", "vantrel::platform::fillRandomBytes",
};

TEST(WindowPlugInTest, TheWindowsCodeCallsNothingOfTheProgramButStatelessCode) {
    const auto undefined = symbols(VANTREL_UI_LIBRARY, {"--undefined-only"});
    const auto definedList = symbols(VANTREL_UI_LIBRARY, {"--defined-only"});
    const std::set<std::string> defined(definedList.begin(), definedList.end());
    std::set<std::string> called;
    for (const auto& name : programSymbols(undefined)) {
        if (!defined.contains(name)) {
            called.insert(name.substr(0, name.find_first_of("([")));  // no parameters or ABI tag
        }
    }
    ASSERT_FALSE(called.empty()) << "no calls seen: the list is not what nm was asked for";
    for (const auto& name : called) {
        EXPECT_TRUE(kStatelessProgramCode.contains(name)) << name;
    }
}

}  // namespace
}  // namespace vantrel

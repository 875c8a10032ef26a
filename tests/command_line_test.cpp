// The command line, through the real program on a simulated Mac (messages, statuses, log) and
// through ProcessArgs::evaluate in process (what each option sets).
#include <gtest/gtest.h>

#include "app/ProcessArgs.h"
#include "app/SharedData.h"
#include "tests/support/TempMac.h"

namespace vantrel {
namespace {

using testsupport::RunResult;
using testsupport::TempMac;
using Lines = std::vector<std::string>;

constexpr const char* kRequiredAction = "Required --action; use --help to list available options";
constexpr const char* kInvalidAction =
    "Invalid argument(s) for --action; use --help to list available options";
constexpr const char* kRequiredOsname = "Required --osname; use --help to list available options";
constexpr const char* kUnknownOsname =
    "Unknown OS name specified; use --help to list available options";

class CommandLineTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { mac_ = new TempMac(); }
    static void TearDownTestSuite() {
        delete mac_;
        mac_ = nullptr;
    }
    static TempMac* mac_;
};
TempMac* CommandLineTest::mac_ = nullptr;

TEST_F(CommandLineTest, ValueChecksEndWithTheirStatusInTheirOrder) {
    struct Case {
        Lines arguments;
        const char* message;
        int status;
    };
    const Case cases[] = {
        {{}, kRequiredAction, 2},
        {{"--osname", "Mojave"}, kRequiredAction, 2},  // the action is examined first
        {{"--action", "status"}, kRequiredOsname, 2},
        {{"--action", "Install", "--osname", "Mojave"}, kInvalidAction, 1},
        {{"--action", "install", "bogus"}, kInvalidAction, 1},  // before the missing --osname
        {{"--action", "cache", "--osname", "MOJAVE"}, kUnknownOsname, 1},
        {{"-a", "cache", "-n", "Sierra"}, kUnknownOsname, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        const RunResult run = mac_->run(c.arguments);
        EXPECT_TRUE(run.exited(c.status)) << run.exitStatus << " signal " << run.signal;
        EXPECT_EQ(run.outputLines(), Lines{c.message});
        EXPECT_TRUE(mac_->logged("arguments", "Debug", c.message));
    }
}

TEST_F(CommandLineTest, OptionWithoutItsValueIsRejectedWithStatusZero) {
    const std::pair<Lines, const char*> cases[] = {
        {{"--action", "cache", "--osname"}, "Missing value for argument --osname."},
        {{"--action", "--osname", "Mojave"}, "Missing value for argument --action."},
        {{"-n", "Mojave", "-a"}, "Missing value for argument -a."},
        {{"--action", "status", "-n"}, "Missing value for argument -n."},
    };
    for (const auto& [arguments, message] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const RunResult run = mac_->run(arguments);
        EXPECT_TRUE(run.exited(0));
        EXPECT_EQ(run.outputLines(), Lines{message});
    }
}

TEST_F(CommandLineTest, ParserErrorsPrintTheParsersDescriptionAndLogIt) {
    const Lines cases[] = {
        {"--action", "status", "--osname", "Mojave", "--bogus"},
        {"--action", "status", "--osname", "Mojave", "stray"},
        {"--osname", "Mojave", "--osname", "Catalina", "--action", "status"},
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const RunResult run = mac_->run(arguments);
        EXPECT_TRUE(run.exited(0));
        const Lines lines = run.outputLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_FALSE(lines[0].empty());
        EXPECT_NE(lines[0], "false");  // the run stopped before the status answer
        EXPECT_TRUE(mac_->logged("arguments", "Error", lines[0] + "."));
    }
}

TEST_F(CommandLineTest, EverySpellingOfHelpPrintsTheHelpAndEndsTheRun) {
    for (const char* help : {"-h", "-help", "--help"}) {
        SCOPED_TRACE(help);
        // Help is reached before the value checks, wherever it stands.
        const RunResult run = mac_->run({"--action", "Install", help});
        EXPECT_TRUE(run.exited(0));
        const std::string& out = run.standardOutput;
        EXPECT_EQ(out.rfind("Vantrel provides 'Erase All Contents and Settings' functionality", 0),
                  0u);
        EXPECT_NE(out.find("Vantrel | sudo <Vantrel --action install> | <Vantrel --action cache>"),
                  std::string::npos);
        EXPECT_NE(out.find("Display available options"), std::string::npos);
        for (const char* option : {"--osname", "--action", "--erase", "--showcancel", "--appfolder",
                                   "--noverify", "--noforcequit"}) {
            EXPECT_NE(out.find(option), std::string::npos) << option;
        }
        EXPECT_NE(out.find("Supresses the 4-digit verification challenge"), std::string::npos);
        EXPECT_EQ(out.find(kInvalidAction), std::string::npos);
        EXPECT_EQ(out.back(), '\n');
    }
}

// What the options set, read straight from the settings.
class ProcessArgsTest : public ::testing::Test {
  protected:
    void SetUp() override { mac_.useInProcess(); }
    SharedData& evaluate(const Lines& arguments) {
        auto& settings = SharedData::shared();
        settings.resetForTesting();
        outcome_ = ProcessArgs::evaluate(arguments, settings);
        return settings;
    }
    TempMac mac_;
    ProcessArgs::Outcome outcome_;
};

TEST_F(ProcessArgsTest, ActionsAndReleaseNamesSetTheirSettings) {
    auto& s = evaluate({"--action", "install", "cache", "--osname", "catalina"});
    EXPECT_EQ(outcome_.kind, ProcessArgs::Outcome::Kind::Parsed);
    EXPECT_TRUE(outcome_.output.empty());
    EXPECT_TRUE(s.install && s.cache && s.hasGUI);
    EXPECT_FALSE(s.checkStatus);
    EXPECT_EQ(s.osNamed, "Catalina");

    evaluate({"--osname", "Mojave", "--action", "cache", "status"});
    EXPECT_TRUE(s.cache && s.checkStatus);
    EXPECT_FALSE(s.install || s.hasGUI);
    EXPECT_EQ(s.osNamed, "Mojave");

    for (const auto& [given, stored] :
         std::vector<std::pair<std::string, std::string>>{{"Catalina", "Catalina"},
                                                          {"mojave", "Mojave"},
                                                          {"highsierra", "HighSierra"},
                                                          {"HighSierra", "HighSierra"}}) {
        evaluate({"-a", "status", "status", "-n", given});
        EXPECT_EQ(s.osNamed, stored);
        EXPECT_TRUE(s.checkStatus);
    }
}

TEST_F(ProcessArgsTest, EraseFlagsAndTheirCompanions) {
    auto& s = evaluate({"--action", "install", "--osname", "Mojave", "--erase"});
    EXPECT_TRUE(s.osWipe && s.showCancel && s.presentChallenge);
    EXPECT_TRUE(s.forceQuitApps);

    evaluate({"--action", "install", "--osname", "Mojave", "--erase", "--noverify"});
    EXPECT_TRUE(s.osWipe);
    EXPECT_FALSE(s.presentChallenge);

    evaluate({"--action", "install", "--osname", "Mojave", "--noverify"});
    EXPECT_FALSE(s.presentChallenge || s.osWipe || s.showCancel);

    evaluate({"--action", "install", "--osname", "Mojave", "--noforcequit", "--showcancel"});
    EXPECT_FALSE(s.forceQuitApps);
    EXPECT_TRUE(s.showCancel);
    EXPECT_FALSE(s.osWipe);

    // --erase with another action is not rejected.
    evaluate({"--action", "status", "--osname", "Mojave", "--erase"});
    EXPECT_EQ(outcome_.kind, ProcessArgs::Outcome::Kind::Parsed);
    EXPECT_TRUE(s.osWipe);
}

TEST_F(ProcessArgsTest, AppFolderCountsOnlyWithTheCacheAction) {
    auto& s = evaluate({"--action", "install", "--osname", "Mojave", "--appfolder"});
    EXPECT_TRUE(s.fileAway);
    evaluate({"--action", "cache", "--appfolder", "--osname", "Mojave"});
    EXPECT_FALSE(s.fileAway);
    evaluate({"--appfolder", "--action", "install", "cache", "--osname", "Mojave"});
    EXPECT_FALSE(s.fileAway);
}

TEST_F(ProcessArgsTest, FailedChecksSayHowTheRunEnds) {
    evaluate({"--action", "cache", "--osname"});
    EXPECT_EQ(outcome_.kind, ProcessArgs::Outcome::Kind::Rejected);
    EXPECT_FALSE(outcome_.errorMessage);  // a missing value is not logged

    evaluate({"--action", "cache", "--osname", "Mojave", "--nope"});
    EXPECT_EQ(outcome_.kind, ProcessArgs::Outcome::Kind::Rejected);
    ASSERT_TRUE(outcome_.errorMessage);
    EXPECT_EQ(*outcome_.errorMessage, outcome_.output.at(0) + ".");

    evaluate({"--action", "cache", "nope", "--osname", "Mojave"});
    EXPECT_EQ(outcome_.kind, ProcessArgs::Outcome::Kind::Exit);
    EXPECT_EQ(outcome_.exitStatus, 1);
}

}  // namespace
}  // namespace vantrel

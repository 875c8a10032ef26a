// The command line, through the real program on a simulated Mac (messages, statuses, log) and
// through ProcessArgs::evaluate in process (what each option sets).
#include <gtest/gtest.h>

#include "app/ProcessArgs.h"
#include "base/SharedData.h"
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

// The log lines a run added after the first `before` of the Mac's log.
std::vector<testsupport::LogEntry> logSince(const TempMac& mac, std::size_t before) {
    auto entries = mac.log();
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(before));
    return entries;
}

TEST_F(CommandLineTest, AFlagGivenAValueIsAParserError) {
    // Every flag with every kind of value, in process: a rejection naming the flag.
    mac_->useInProcess();
    for (const char* flag :
         {"--erase", "--showcancel", "--appfolder", "--noverify", "--noforcequit", "--help"}) {
        for (const char* value : {"false", "true", "yes", "0", "1", "", "{}"}) {
            const std::string argument = std::string(flag) + "=" + value;
            SCOPED_TRACE(argument);
            const ProcessArgs::Outcome outcome = ProcessArgs::evaluate(
                {"--action", "status", "--osname", "Catalina", argument}, SharedData::shared());
            EXPECT_EQ(outcome.kind, ProcessArgs::Outcome::Kind::Rejected);
            ASSERT_EQ(outcome.output.size(), 1u);
            EXPECT_NE(outcome.output[0].find(flag), std::string::npos) << outcome.output[0];
            EXPECT_EQ(outcome.errorMessage, outcome.output[0] + ".");
        }
    }
    // The real program prints the rejection, logs it and ends before the status answer.
    {
        const std::size_t before = mac_->log().size();
        const RunResult run =
            mac_->run({"--action", "status", "--osname", "Catalina", "--noverify=false"});
        EXPECT_TRUE(run.exited(0)) << run.exitStatus << " signal " << run.signal;
        const Lines lines = run.outputLines();
        ASSERT_EQ(lines.size(), 1u) << run.standardOutput;
        EXPECT_NE(lines[0].find("--noverify"), std::string::npos) << lines[0];
        const std::vector<testsupport::LogEntry> expected{
            {"com.corvane.vantrel", "main", "Default", "Vantrel launched"},
            {"com.corvane.vantrel", "arguments", "Error", lines[0] + "."}};
        EXPECT_EQ(logSince(*mac_, before), expected);
    }
    // A word after a flag is no value of it but an unexpected positional argument; one after
    // "--" is positional too, even when it looks like a flag with a value.
    for (const Lines& arguments :
         {Lines{"--action", "status", "--osname", "Catalina", "--erase", "false"},
          Lines{"--action", "status", "--osname", "Catalina", "--noverify", "0"},
          Lines{"--action", "status", "--osname", "Catalina", "--", "--erase=false"}}) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const RunResult run = mac_->run(arguments);
        EXPECT_TRUE(run.exited(0));
        const Lines lines = run.outputLines();
        ASSERT_EQ(lines.size(), 1u) << run.standardOutput;
        EXPECT_NE(lines[0].find(arguments.back()), std::string::npos) << lines[0];
        EXPECT_TRUE(mac_->logged("arguments", "Error", lines[0] + "."));
    }
    // The short name of help takes nothing after it either.
    for (const char* argument : {"-h=1", "-hx"}) {
        SCOPED_TRACE(argument);
        const RunResult run = mac_->run({"--action", "status", "--osname", "Catalina", argument});
        EXPECT_TRUE(run.exited(0));
        const Lines lines = run.outputLines();
        ASSERT_EQ(lines.size(), 1u) << run.standardOutput;
        EXPECT_NE(lines[0].find("-h"), std::string::npos) << lines[0];
        EXPECT_TRUE(mac_->logged("arguments", "Error", lines[0] + "."));
    }
    // Options that take a value still take it after "=" or joined to a short name, and help
    // reached first still wins.
    EXPECT_EQ(mac_->run({"--action=status", "--osname=Catalina", "--erase"}).outputLines(),
              Lines{"false"});
    EXPECT_EQ(mac_->run({"-astatus", "-nCatalina"}).outputLines(), Lines{"false"});
    const RunResult help = mac_->run({"--help", "--erase=false"});
    EXPECT_TRUE(help.exited(0));
    EXPECT_NE(help.standardOutput.find("Display available options"), std::string::npos);
}

TEST(CommandLineFlagTest, AFlagGivenAValueDoesNothingAtAll) {
    // Headless with an installer in /Applications: any run that gets past the command line
    // files the installer away and starts the installation at once, erasing with --erase.
    TempMac mac;
    mac.addInstaller("Catalina", "19H15");
    const Lines install{"--action", "install", "--osname", "Catalina"};
    const std::vector<Lines> extras{
        {"--erase=false"},
        {"--erase=no"},
        {"--erase", "--noverify=false"},
        {"--erase", "--noforcequit=0"},
        {"--erase", "--showcancel="},
        {"--appfolder=yes"},
        {"--erase", "false"},
    };
    for (const auto& extra : extras) {
        SCOPED_TRACE(::testing::PrintToString(extra));
        Lines arguments = install;
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        const std::size_t before = mac.log().size();
        const RunResult run = mac.run(arguments);
        EXPECT_TRUE(run.exited(0)) << run.exitStatus << " signal " << run.signal;
        const Lines lines = run.outputLines();
        ASSERT_EQ(lines.size(), 1u) << run.standardOutput;
        const std::vector<testsupport::LogEntry> expected{
            {"com.corvane.vantrel", "main", "Default", "Vantrel launched"},
            {"com.corvane.vantrel", "arguments", "Error", lines[0] + "."}};
        EXPECT_EQ(logSince(mac, before), expected);
        EXPECT_FALSE(mac.installation());
        EXPECT_TRUE(std::filesystem::exists(mac.host("/Applications/Install macOS Catalina.app")));
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
        settings.restoreDefaults();
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

TEST_F(ProcessArgsTest, AFlagGivenAValueSetsNothing) {
    for (const Lines& arguments :
         {Lines{"--action", "install", "--osname", "Mojave", "--erase=false"},
          Lines{"--action", "install", "--osname", "Mojave", "--erase", "--noverify=false"},
          Lines{"--action", "install", "cache", "--osname", "Mojave", "--appfolder=1"},
          Lines{"--action", "install", "--osname", "Mojave", "--noforcequit=true"},
          Lines{"--action", "install", "--osname", "Mojave", "--showcancel=yes"}}) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        auto& s = evaluate(arguments);
        EXPECT_EQ(outcome_.kind, ProcessArgs::Outcome::Kind::Rejected);
        ASSERT_EQ(outcome_.output.size(), 1u);
        ASSERT_TRUE(outcome_.errorMessage);
        EXPECT_EQ(*outcome_.errorMessage, outcome_.output[0] + ".");
        EXPECT_FALSE(s.install || s.cache || s.osWipe || s.showCancel || s.presentChallenge);
        EXPECT_TRUE(s.fileAway && s.forceQuitApps);
    }
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

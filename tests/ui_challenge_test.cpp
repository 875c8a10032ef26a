// The erase confirmation's logic against a recording view: the code from the random source
// with the rejection rule, every answer path and backspace (cancel, which ends the program, is
// tried on the real sheet in ui_widgets_test.cpp).
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Notifications.h"
#include "tests/support/TempMac.h"
#include "tests/support/WindowServices.h"
#include "ui/ChallengeCode.h"
#include "ui/verifyVC.h"

namespace vantrel {
namespace {

class RecordingSheet : public ChallengeView {
  public:
    explicit RecordingSheet(int highestTag = 4) : highestTag_(highestTag) {}

    bool focusViewWithTag(int tag) override {
        calls.push_back("focus " + std::to_string(tag));
        if (tag < 1 || tag > highestTag_) {
            return false;
        }
        focused = tag;
        return true;
    }
    void resignFocusOfViewWithTag(int tag) override {
        calls.push_back("resign " + std::to_string(tag));
        if (focused == tag) {
            focused = 0;
        }
    }
    void setFieldText(int tag, const std::string& text) override {
        fields.at(static_cast<std::size_t>(tag - 1)) = text;
    }
    void setCodeText(const std::string& text) override { code = text; }
    void shake() override { ++shakes; }
    void closeWindow() override { ++closes; }

    // What an operator's edit does: the field's text changes, then the sheet hears of it.
    void type(verifyVC& controller, const std::string& text) {
        auto& field = fields.at(static_cast<std::size_t>(focused - 1));
        field += text;
        controller.controlTextDidChange(focused, field);
    }
    void typeEach(verifyVC& controller, std::initializer_list<const char*> texts) {
        for (const char* text : texts) {
            type(controller, text);
        }
    }

    std::vector<std::string> fields = {"", "", "", ""};
    std::string code;
    int focused = 0;
    int shakes = 0;
    int closes = 0;
    std::vector<std::string> calls;

  private:
    int highestTag_;
};

// Draws from a fixed list, for codes known in advance.
std::function<std::uint64_t()> draws(std::deque<std::uint64_t> numbers, int* count = nullptr) {
    return [numbers, count]() mutable {
        if (count) {
            ++*count;
        }
        if (numbers.empty()) {
            ADD_FAILURE() << "more draws than the test planned";
            return UINT64_MAX;
        }
        const auto next = numbers.front();
        numbers.pop_front();
        return next;
    };
}

class ChallengeTest : public testing::Test {
  protected:
    // The process's services need a Mac to run on.
    static void SetUpTestSuite() { mac = new testsupport::TempMac({"--console-user", "alice"}); }
    static void TearDownTestSuite() {
        delete mac;
        mac = nullptr;
    }
    void SetUp() override {
        mac->useInProcess();
        services.emplace(testsupport::windowServicesWith(center));
        // The sheet posts to the centre it is handed: a post to the process's would go unseen.
        center.addObserver(notificationnames::wonChallenge(),
                           [this](const Notification&) { ++wins; });
    }

    static testsupport::TempMac* mac;
    NotificationCenter center;
    std::optional<WindowServices> services;
    int wins = 0;
};

testsupport::TempMac* ChallengeTest::mac = nullptr;

TEST(ChallengeCodeTest, TheRejectionRuleAndZeroPadding) {
    int count = 0;
    EXPECT_EQ(makeChallengeCode(draws({1615, 1616}, &count)), "1616");
    EXPECT_EQ(count, 2);  // 1615 was drawn again
    EXPECT_EQ(makeChallengeCode(draws({10007})), "0007");
    EXPECT_EQ(makeChallengeCode(draws({0, 1, 1615, 20000})), "0000");
    EXPECT_EQ(makeChallengeCode(draws({UINT64_MAX})), "1615");
    EXPECT_EQ(makeChallengeCode(draws({1234, 51234})), "1234");

    // The system's source: always four ASCII digits, and not one code over and over.
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const auto code = makeChallengeCode();
        ASSERT_EQ(code.size(), 4u);
        for (const char c : code) {
            ASSERT_TRUE(c >= '0' && c <= '9') << code;
        }
        seen.insert(code);
    }
    EXPECT_GT(seen.size(), 150u);
}

TEST_F(ChallengeTest, TheRightCodeMovesTheFocusAlongAndWinsOnce) {
    RecordingSheet sheet;
    verifyVC controller(sheet, *services, draws({24681}));
    controller.viewDidLoad();
    EXPECT_EQ(sheet.code, "4681");
    EXPECT_EQ(controller.challengePIN(), "4681");
    EXPECT_EQ(sheet.focused, 1);
    for (const char* digit : {"4", "6", "8"}) {
        const int before = sheet.focused;
        sheet.type(controller, digit);
        EXPECT_EQ(sheet.focused, before + 1);
    }
    EXPECT_EQ(wins, 0);
    sheet.type(controller, "1");
    EXPECT_EQ(wins, 1);
    EXPECT_EQ(sheet.closes, 1);
    EXPECT_EQ(sheet.shakes, 0);
    EXPECT_EQ(controller.userPIN(), "4681");
    // A late edit after the sheet closed does not start the installation a second time.
    controller.controlTextDidChange(4, "1");
    EXPECT_EQ(wins, 1);
}

TEST_F(ChallengeTest, ALetterOrAWrongCodeShakesAndBackspaceEmptiesEverything) {
    RecordingSheet sheet;
    verifyVC controller(sheet, *services, draws({1616 + 10000 * 7, 9999}));
    controller.viewDidLoad();
    ASSERT_EQ(sheet.code, "1616");
    sheet.typeEach(controller, {"1", "x"});
    EXPECT_EQ(sheet.shakes, 1);
    EXPECT_EQ(sheet.fields[1], "x");
    EXPECT_EQ(sheet.focused, 2);
    EXPECT_EQ(controller.userPIN(), "1");

    EXPECT_FALSE(controller.keyDown(false));  // other keys pass
    EXPECT_TRUE(controller.keyDown(true));    // backspace is swallowed
    EXPECT_EQ(sheet.fields, (std::vector<std::string>{"", "", "", ""}));
    EXPECT_EQ(controller.userPIN(), "");
    EXPECT_EQ(sheet.focused, 1);
    // A field emptied by cutting its text holds no digit either.
    controller.controlTextDidChange(1, "");
    EXPECT_EQ(sheet.shakes, 2);

    sheet.typeEach(controller, {"1", "6", "1", "7"});
    EXPECT_EQ(wins, 0);
    EXPECT_EQ(sheet.shakes, 3);
    EXPECT_EQ(sheet.fields, (std::vector<std::string>{"", "", "", ""}));
    EXPECT_EQ(sheet.focused, 1);
    EXPECT_EQ(controller.userPIN(), "");
    EXPECT_EQ(controller.challengePIN(), "1616");
    EXPECT_EQ(sheet.code, "1616");
    sheet.typeEach(controller, {"1", "6", "1", "6"});  // the same code still wins
    EXPECT_EQ(wins, 1);
}

TEST_F(ChallengeTest, PastedDigitsAllCountAndOtherScriptsNeverMatch) {
    RecordingSheet sheet;
    verifyVC controller(sheet, *services, draws({11234}));
    controller.viewDidLoad();
    ASSERT_EQ(sheet.code, "1234");
    sheet.type(controller, "12");
    EXPECT_EQ(controller.userPIN(), "12");
    EXPECT_EQ(sheet.focused, 2);
    sheet.typeEach(controller, {"3", "4"});
    EXPECT_EQ(sheet.focused, 4);
    EXPECT_EQ(controller.userPIN(), "1234");
    EXPECT_EQ(wins, 0) << "no comparison before the fourth field";
    sheet.type(controller, "4");
    EXPECT_EQ(wins, 0);  // "12344" is not the code
    EXPECT_EQ(sheet.shakes, 1);

    // Arabic-Indic digits 1 2 3 4: digits for the focus move, but never the code.
    sheet.typeEach(controller, {"\u0661", "\u0662", "\u0663", "\u0664"});
    EXPECT_EQ(wins, 0);
    EXPECT_EQ(sheet.shakes, 2);
    EXPECT_TRUE(containsDecimalDigit("\U0001D7D8"));  // mathematical double-struck zero
    EXPECT_FALSE(containsDecimalDigit("\u00BD"));     // a vulgar fraction is no decimal digit
}

TEST_F(ChallengeTest, AViewTaggedFiveLosesTheFocusBeforeTheComparison) {
    for (const int highestTag : {5, 4}) {
        RecordingSheet sheet(highestTag);
        verifyVC controller(sheet, *services, draws({11111}));
        controller.viewDidLoad();
        sheet.typeEach(controller, {"1", "1", "1", "1"});
        const std::vector<std::string> last(sheet.calls.end() - 2, sheet.calls.end());
        EXPECT_EQ(last, (highestTag == 5 ? std::vector<std::string>{"focus 5", "resign 5"}
                                         : std::vector<std::string>{"focus 4", "focus 5"}));
    }
    EXPECT_EQ(wins, 2);
}

}  // namespace
}  // namespace vantrel

#include "ui/verifyVC.h"

#include <QList>
#include <QString>

namespace vantrel {

verifyVC::verifyVC(ChallengeView& view, const WindowServices& services,
                   std::function<std::uint64_t()> draw)
    : view_(view), services_(services), draw_(std::move(draw)) {}

void verifyVC::viewDidLoad() {
    view_.focusViewWithTag(1);
    challengePIN_ = makeChallengeCode(draw_);
    view_.setCodeText(challengePIN_);
}

void verifyVC::controlTextDidChange(int tag, const std::string& text) {
    if (!containsDecimalDigit(text)) {
        // The text stays where it is until backspace empties all four fields.
        view_.shake();
        return;
    }
    userPIN_ += text;
    const bool foundNext = view_.focusViewWithTag(tag + 1);
    if (tag == kLastFieldTag) {
        if (foundNext) {
            view_.resignFocusOfViewWithTag(tag + 1);
        }
        compare();
    }
}

void verifyVC::compare() {
    if (userPIN_ == challengePIN_) {
        if (!won_) {  // the installation is started once, whatever edits still arrive
            won_ = true;
            services_.notifications.post(notificationnames::wonChallenge());
        }
        view_.closeWindow();
        return;
    }
    view_.shake();
    resetAnswer();
}

void verifyVC::resetAnswer() {
    userPIN_.clear();
    for (int tag = 1; tag <= kLastFieldTag; ++tag) {
        view_.setFieldText(tag, "");
    }
    view_.focusViewWithTag(1);
}

bool verifyVC::keyDown(bool isBackspace) {
    if (!isBackspace) {
        return false;
    }
    resetAnswer();
    return true;
}

void verifyVC::cancelChallenge() {
    view_.closeWindow();
    services_.exitProcess(9);
}

bool containsDecimalDigit(const std::string& text) {
    const auto codePoints = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    for (const uint c : codePoints.toUcs4()) {
        if (QChar::isDigit(char32_t{c})) {
            return true;
        }
    }
    return false;
}

}  // namespace vantrel

#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/WindowHost.h"
#include "ui/ChallengeCode.h"
#include "ui/ChallengeView.h"

namespace vantrel {

// The erase confirmation: shows a random 4-digit code and takes the answer, one digit field
// at a time. The right answer posts "wonChallenge" and closes the sheet; cancel ends the
// program with status 9. Everything runs on the main thread; what it uses of the program
// comes through `services`, which outlive it.
class verifyVC {
  public:
    static constexpr int kLastFieldTag = 4;

    verifyVC(ChallengeView& view, const WindowServices& services,
             std::function<std::uint64_t()> draw = drawRandomNumber);

    // Set-up when the sheet is loaded: focus on the first field, a fresh code on show.
    void viewDidLoad();
    // After an edit of the digit field with `tag`, which now holds `text` (UTF-8).
    void controlTextDidChange(int tag, const std::string& text);
    // The application-wide key watcher. Backspace resets the answer; the return value says
    // whether the key press is swallowed, so that no field sees it.
    bool keyDown(bool isBackspace);
    void cancelChallenge();

    const std::string& challengePIN() const { return challengePIN_; }
    const std::string& userPIN() const { return userPIN_; }

  private:
    void compare();
    void resetAnswer();

    ChallengeView& view_;
    const WindowServices& services_;
    std::function<std::uint64_t()> draw_;
    std::string challengePIN_;
    std::string userPIN_;
    bool won_ = false;
};

// Whether UTF-8 `text` holds a decimal digit of any script (Unicode category Nd).
bool containsDecimalDigit(const std::string& text);

}  // namespace vantrel

#pragma once

#include <QDialog>
#include <cstdint>
#include <functional>
#include <memory>

#include "ui/ChallengeCode.h"
#include "ui/ChallengeView.h"
#include "ui/verifyVC.h"

namespace Ui {
class ChallengeSheet;
}
class QLineEdit;

namespace vantrel {

class WindowShaker;

// The erase confirmation sheet: the widgets of the layout "ChallengeSheet.ui" behind the view
// operations of `verifyVC`, which it owns, and the application-wide backspace watcher.
class ChallengeSheet : public QDialog, public ChallengeView {
    Q_OBJECT
  public:
    explicit ChallengeSheet(QWidget* parent,
                            std::function<std::uint64_t()> draw = drawRandomNumber);
    ~ChallengeSheet() override;

    verifyVC& controller() { return *controller_; }
    // The digit field with tag 1 to 4, and the field that shows the code.
    QLineEdit* digitField(int tag) const;
    QLineEdit* codeField() const;
    WindowShaker& shaker() { return *shaker_; }

    bool focusViewWithTag(int tag) override;
    void resignFocusOfViewWithTag(int tag) override;
    void setFieldText(int tag, const std::string& text) override;
    void setCodeText(const std::string& code) override;
    void shake() override;
    void closeWindow() override;

    // Escape and the window's own close control count as the cancel button.
    void reject() override;

  private:
    QWidget* viewWithTag(int tag) const;

    std::unique_ptr<Ui::ChallengeSheet> ui_;
    std::unique_ptr<verifyVC> controller_;
    WindowShaker* shaker_;
};

}  // namespace vantrel

#pragma once

#include <QFrame>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/WindowHost.h"
#include "ui/ChallengeCode.h"
#include "ui/ChallengeView.h"
#include "ui/verifyVC.h"

namespace Ui {
class ChallengeSheet;
}
class QLabel;
class QLineEdit;

namespace vantrel {

class WindowShaker;

// The erase confirmation sheet: the widgets of the layout "ChallengeSheet.ui" behind the view
// operations of `verifyVC`, which it owns, and the application-wide backspace watcher.
//
// It is a panel inside its window, not a window of its own, so that no window manager can
// put it elsewhere, give it a title bar or let the window take its keyboard focus: the
// window presents it (ProgressWindow::presentSheet) and blocks itself while it is up.
class ChallengeSheet : public QFrame, public ChallengeView {
    Q_OBJECT
  public:
    // `services` outlive the sheet.
    ChallengeSheet(const WindowServices& services, QWidget* parent,
                   std::function<std::uint64_t()> draw = drawRandomNumber);
    ~ChallengeSheet() override;

    verifyVC& controller() { return *controller_; }
    // The digit field with tag 1 to 4, and the label that shows the code.
    QLineEdit* digitField(int tag) const;
    QLabel* codeField() const;
    WindowShaker& shaker() { return *shaker_; }

    bool focusViewWithTag(int tag) override;
    void resignFocusOfViewWithTag(int tag) override;
    void setFieldText(int tag, const std::string& text) override;
    void setCodeText(const std::string& code) override;
    void shake() override;
    void closeWindow() override;

  signals:
    // The right answer closed the sheet.
    void closed();

  protected:
    // Escape counts as the cancel button.
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    QWidget* viewWithTag(int tag) const;

    std::unique_ptr<Ui::ChallengeSheet> ui_;
    std::unique_ptr<verifyVC> controller_;
    WindowShaker* shaker_;
};

}  // namespace vantrel

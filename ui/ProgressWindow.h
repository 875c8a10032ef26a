#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>

#include "base/WindowHost.h"
#include "ui/ProgressView.h"
#include "ui/ViewController.h"

namespace Ui {
class ProgressWindow;
}

namespace vantrel {

class ChallengeSheet;
class SheetBackdrop;

// The progress window: the widgets of the layout "ProgressWindow.ui" behind the view
// operations of `ViewController`, which it owns.
class ProgressWindow : public QWidget, public ProgressView {
    Q_OBJECT
  public:
    // `services` outlive the window.
    explicit ProgressWindow(const WindowServices& services, QWidget* parent = nullptr);
    ~ProgressWindow() override;

    ViewController& controller() { return *controller_; }
    // The element's widget, for the window's own tests and screenshots.
    QWidget* element(ProgressElement element) const;
    // The sheet on the window while it waits for the code; null otherwise.
    ChallengeSheet* sheet() const;

    void setText(ProgressElement element, const std::string& text) override;
    void setImage(ProgressElement element, const std::string& resourceName) override;
    void setHidden(ProgressElement element, bool hidden) override;
    void setProgress(double value) override;
    void setBusy(bool busy) override;
    void presentSheet(const std::string& identifier) override;
    void closeWindow() override;
    void openURL(const std::string& address) override;

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void setBlocked(bool blocked);

    const WindowServices& services_;
    std::unique_ptr<Ui::ProgressWindow> ui_;
    std::unique_ptr<ViewController> controller_;
    bool appeared_ = false;
    QPointer<ChallengeSheet> sheet_;
    QPointer<SheetBackdrop> backdrop_;
};

}  // namespace vantrel

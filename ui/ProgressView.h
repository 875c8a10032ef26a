#pragma once

#include <string>

namespace vantrel {

// The elements of the progress window that the controller changes.
enum class ProgressElement {
    productIcon,
    statusText,
    quitButtonView,
    problemReporter,
    progressBar,
    stepOfStep,
};

// What `ViewController` needs from the toolkit. Every operation is called on the main thread.
class ProgressView {
  public:
    virtual ~ProgressView() = default;

    virtual void setText(ProgressElement element, const std::string& text) = 0;
    // The picture named `resourceName` from the application's resources; a missing picture
    // leaves the element empty.
    virtual void setImage(ProgressElement element, const std::string& resourceName) = 0;
    virtual void setHidden(ProgressElement element, bool hidden) = 0;
    // Makes the progress bar determinate (scale 0 to 100) and sets its value. The value is
    // passed on as reported; the view decides how to show one outside the scale.
    virtual void setProgress(double value) = 0;
    // Whether the bar moves to show that work runs before there is a figure to show: true
    // makes it indeterminate and animated, false stops it as an empty determinate bar.
    virtual void setBusy(bool busy) = 0;
    // Instantiates the controller `identifier` from the window's layout and presents it as a
    // sheet attached to this window.
    virtual void presentSheet(const std::string& identifier) = 0;
    virtual void closeWindow() = 0;
    // Opens a web address in the user's default browser; the outcome is not reported.
    virtual void openURL(const std::string& address) = 0;
};

}  // namespace vantrel

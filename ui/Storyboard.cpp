#include "ui/Storyboard.h"

#include "ui/ChallengeSheet.h"
#include "ui/ProgressWindow.h"

namespace vantrel::storyboard {

QWidget* instantiateController(const WindowServices& services, const std::string& identifier,
                               QWidget* parent) {
    if (identifier == "mainStoryboard") {
        return new ProgressWindow(services, parent);
    }
    if (identifier == "verifyVCSheet") {
        return new ChallengeSheet(services, parent);
    }
    return nullptr;
}

}  // namespace vantrel::storyboard

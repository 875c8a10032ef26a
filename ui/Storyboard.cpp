#include "ui/Storyboard.h"

#include "caching/SessionRequestManager.h"
#include "ui/ChallengeSheet.h"
#include "ui/ProgressWindow.h"

namespace vantrel::storyboard {

QWidget* instantiateController(const std::string& identifier, QWidget* parent) {
    if (identifier == "mainStoryboard") {
        return new ProgressWindow(
            [] { SessionRequestManager::shared().delegate().cancelAllTasks(); }, parent);
    }
    if (identifier == "verifyVCSheet") {
        return new ChallengeSheet(parent);
    }
    return nullptr;
}

}  // namespace vantrel::storyboard

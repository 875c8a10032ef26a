#include "ui/Storyboard.h"

#include "ui/ChallengeSheet.h"
#include "ui/ProgressWindow.h"
#include "ui/WindowServices.h"

namespace vantrel::storyboard {

QWidget* instantiateController(const std::string& identifier, QWidget* parent) {
    if (identifier == "mainStoryboard") {
        return new ProgressWindow(
            [] {
                if (windowServices().cancelDownloads) {
                    windowServices().cancelDownloads();
                }
            }, parent);
    }
    if (identifier == "verifyVCSheet") {
        return new ChallengeSheet(parent);
    }
    return nullptr;
}

}  // namespace vantrel::storyboard

// startosinstall's two chunk handlers. The input is the tool's output cut into reads at NUL
// bytes; reads alternate between standard output and standard error.

#include <cmath>
#include <cstdlib>

#include "base/Notifications.h"
#include "base/ToolOutput.h"
#include "fuzz/FuzzSupport.h"
#include "install/StartOSInstall.h"

using namespace vantrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareProcess();
    NotificationCenter::defaultCenter().addObserver(
        notificationnames::taskProgress(), [](const Notification& notification) {
            if (!notification.userInfo || notification.userInfo->size() != 1) {
                std::abort();
            }
            const auto& [key, value] = *notification.userInfo->begin();
            if (!value) {
                std::abort();  // both handlers always carry a number
            }
            if (key != "startosinstall" && *value != -1.0) {
                std::abort();  // an error report is marked with -1
            }
        });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto reads = fuzz::splitInput(fuzz::asText(data, size), std::string_view("\0", 1));
    for (std::size_t i = 0; i < reads.size(); ++i) {
        const std::string text = decodeUtf8Leniently(reads[i]);
        if (i % 2 == 0) {
            startOSInstall::handleInstallOutput(text);
        } else {
            startOSInstall::handleInstallErrors(text);
        }
    }
    return 0;
}

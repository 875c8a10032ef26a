#include "caching/InstallerOutput.h"

#include "base/Logging.h"
#include "base/Notifications.h"
#include "base/SharedData.h"
#include "base/ToolOutput.h"
#include "platform/PrintableText.h"

namespace vantrel {

namespace {

constexpr std::string_view kProgressMarker = "installer:%";
constexpr std::string_view kFailureMarker = "failed";

// A piece as a quoted literal: printable, with its quotes escaped too.
std::string quoted(std::string_view piece) {
    std::string out = "\"";
    for (const char c : platform::printableText(piece)) {
        if (c == '"' || c == '\'') {
            out += '\\';
        }
        out += c;
    }
    out += "\"";
    return out;
}

}  // namespace

std::string quotedPieces(std::string_view chunk) {
    std::string out = "[";
    std::size_t start = 0;
    while (true) {
        const std::size_t cut = chunk.find_first_of("\"\n", start);
        const std::size_t end = cut == std::string_view::npos ? chunk.size() : cut;
        if (start > 0) {
            out += ", ";
        }
        out += quoted(chunk.substr(start, end - start));
        if (cut == std::string_view::npos) {
            break;
        }
        start = cut + 1;
    }
    out += "]";
    return out;
}

void readInstallerOutput(std::string_view text, platform::Console& console) {
    if (text.empty()) {
        return;
    }
    auto& center = NotificationCenter::defaultCenter();
    if (textContains(text, kProgressMarker)) {
        const auto percentage = decimalValue(keepingOnly(text, "0123456789."));
        center.post(notificationnames::taskProgress(), progressReport("Installer", percentage));
    }
    if (textContains(text, kFailureMarker)) {
        SharedData::shared().installerFailed = true;
        installerLog().error("Installer failed");
        console.printLine(quotedPieces(text));
        center.post(notificationnames::taskProgress(), progressReport("InstallerFailed", -1.0));
    }
}

void readInstallerErrors(std::string_view text, platform::Console& console) {
    console.printLine(text);
    installerLog().error("%{public}s", text);
}

}  // namespace vantrel

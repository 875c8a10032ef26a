// The package installer's two chunk handlers. The input is the tool's output cut into reads
// at NUL bytes; reads alternate between standard output and standard error.

#include <cstdlib>

#include "base/Notifications.h"
#include "base/SharedData.h"
#include "base/ToolOutput.h"
#include "caching/InstallerOutput.h"
#include "fuzz/FuzzSupport.h"

using namespace vantrel;

namespace {

std::size_t reports = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareProcess();
    NotificationCenter::defaultCenter().addObserver(
        notificationnames::taskProgress(), [](const Notification& notification) {
            if (!notification.userInfo || notification.userInfo->size() != 1) {
                std::abort();  // every report has exactly one entry
            }
            ++reports;
        });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SharedData::shared().installerFailed = false;
    const std::string_view bytes = fuzz::asText(data, size);
    const auto reads = fuzz::splitInput(bytes, std::string_view("\0", 1));
    ChunkDecoder output;
    ChunkDecoder errors;
    std::string decodedOutput;
    for (std::size_t i = 0; i < reads.size(); ++i) {
        if (i % 2 == 0) {
            const std::string text = output.decode(reads[i]);
            decodedOutput += text;
            readInstallerOutput(text, fuzz::services().console);
        } else {
            readInstallerErrors(errors.decode(reads[i]), fuzz::services().console);
        }
        (void)quotedPieces(reads[i]);
    }
    const std::string rest = output.finish();
    decodedOutput += rest;
    readInstallerOutput(rest, fuzz::services().console);
    readInstallerErrors(errors.finish(), fuzz::services().console);

    // Reads cut anywhere keep every character of the stream read at once; only the number of
    // replacement characters for bad bytes may differ.
    std::string whole;
    for (std::size_t i = 0; i < reads.size(); i += 2) {
        whole += reads[i];
    }
    const auto ascii = [](std::string_view text) {
        std::string out;
        for (const char c : text) {
            if (static_cast<unsigned char>(c) < 0x80) {
                out.push_back(c);
            }
        }
        return out;
    };
    if (ascii(decodedOutput) != ascii(decodeUtf8Leniently(whole))) {
        std::abort();
    }
    if (textContains(decodedOutput, "failed") && !SharedData::shared().installerFailed &&
        reads.size() == 1) {
        std::abort();  // a failure in a single read is never missed
    }
    return 0;
}

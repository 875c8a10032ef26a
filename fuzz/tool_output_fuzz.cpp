// The text and number rules for tool output, and the properties the workers rely on.

#include <cstdlib>
#include <string>

#include "base/ToolOutput.h"
#include "fuzz/FuzzSupport.h"

using namespace vantrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::asText(data, size);
    const auto strict = chunkText(bytes);
    const std::string lenient = decodeUtf8Leniently(bytes);
    if (strict && *strict != lenient) {
        std::abort();  // valid text must come through unchanged
    }
    if (!chunkText(lenient)) {
        std::abort();  // the lenient decoding must always be valid UTF-8
    }
    const std::size_t complete = completeUtf8Prefix(bytes);
    if (complete > bytes.size() || bytes.size() - complete > 3) {
        std::abort();  // at most an incomplete character is held back
    }

    const std::string trimmed = trimmedText(lenient);
    if (trimmedText(trimmed) != trimmed || lenient.find(trimmed) == std::string::npos) {
        std::abort();
    }
    const std::string kept = keepingOnly(lenient, "0123456789.");
    if (kept.find_first_not_of("0123456789.") != std::string::npos) {
        std::abort();
    }
    for (const std::string& text : {lenient, trimmed, kept, removingAll(trimmed, "%")}) {
        if (const auto value = decimalValue(text)) {
            for (const char c : text) {
                const auto u = static_cast<unsigned char>(c);
                if (u > 127 || u == ' ' || (u >= 9 && u <= 13)) {
                    std::abort();  // a number is plain ASCII without white space
                }
            }
            (void)progressReport("Installer", value);
        }
    }
    // Markers cut out left to right: the result is never longer, and marker-free text stays.
    const std::string_view marker = size > 0 && data[0] % 2 ? "Preparing: " : "installer:%";
    const std::string removed = removingAll(lenient, marker);
    if (removed.size() > lenient.size() || (!textContains(lenient, marker) && removed != lenient)) {
        std::abort();
    }
    return 0;
}

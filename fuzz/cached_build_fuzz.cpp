// The cached-build decoder: the bytes of an installer's SystemVersion.plist to its build.

#include <cstdlib>

#include "caching/dmgMounter.h"
#include "fuzz/FuzzSupport.h"

using namespace vantrel;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::prepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    bool complained = false;
    const std::string build = dmgMounter::decodeCachedBuild(
        std::string(fuzz::asText(data, size)), [&](std::string_view line) {
            if (line != "could not decode") {
                std::abort();  // the data was there: only a decoding failure may be told
            }
            complained = true;
        });
    if (complained && !build.empty()) {
        std::abort();  // no build from a file that could not be decoded
    }
    return 0;
}

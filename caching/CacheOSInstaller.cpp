#include "caching/CacheOSInstaller.h"

#include "app/Logging.h"
#include "platform/Console.h"

namespace vantrel {

CacheOSInstaller::CacheOSInstaller() : requestManager(nullptr) {}

void CacheOSInstaller::cacheOS() {
    cachingLog().debug("Caching");
    // The catalog, selection and downloads come next.
    cachingLog().debug("No Product dictionary available.");
    platform::exitProcess(0);
}

void CacheOSInstaller::installProduct() {}

void CacheOSInstaller::runInstaller() {}

}  // namespace vantrel

#pragma once

#include "platform/Applications.h"
#include "platform/MacRoot.h"

namespace vantrel::simmac {

// The application registry of the simulated Mac: a scan of /Applications and the folders of
// /Library/Application Support for bundles by the CFBundleIdentifier of their Info.plist.
class ApplicationScan : public platform::Applications {
  public:
    explicit ApplicationScan(const platform::MacRoot& root) : root_(root) {}

    std::optional<std::string> applicationPathForBundleIdentifier(
        const std::string& bundleIdentifier, const std::string& ownFolder = {},
        std::vector<platform::SkippedApplication>* skipped = nullptr) const override;

  private:
    const platform::MacRoot& root_;
};

}  // namespace vantrel::simmac

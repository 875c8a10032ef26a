#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/lib/CatalogDocuments.h"

namespace vantrel::sim {

// Why an installation cannot go on; the text is fit for the operator.
struct InstallFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The packages a distribution file asks for, with the size and digest each must have.
struct DistributionPlan {
    std::string title;  // from the localized SU_TITLE, or empty
    std::vector<DistributionPackage> packages;
};

// Reads a distribution file. Throws InstallFailure when it is not a distribution file, names a
// package that is not a plain file name, or does not say how large a package is or what its
// SHA-256 is.
DistributionPlan readDistributionPlan(const std::filesystem::path& distribution);

struct InstallObserver {
    // 0 to 100, rising; `milestone` at the start, after each package and at the end, the
    // other calls as bytes are read.
    std::function<void(double percent, bool milestone)> progress;
    std::function<void(std::string_view line)> status;
};

// Installs the packages of `distribution` (a host path) onto the target folder (a host path):
// every package must lie beside the distribution file with its recorded size and SHA-256;
// their entries, all under "Applications/<name>.app/", are unpacked aside and checked while
// they are read, and only when every package is whole are the applications moved into the
// target's Applications folder, each replacing an application of the same name. Nothing in
// the target changes when the installation fails. Throws InstallFailure.
void installDistribution(const std::filesystem::path& distribution,
                         const std::filesystem::path& target, const InstallObserver& observer);

}  // namespace vantrel::sim

#pragma once

#include <filesystem>

#include "platform/MacRoot.h"

namespace vantrel::platform {

// The composition root of the platform layer: which simulated Mac this process runs on and
// which application bundle it runs as. The entry point configures it from the executable's
// location; tests configure it with a simulated Mac in a temporary folder.
void useMac(MacRoot root, std::filesystem::path appBundleHostPath);
bool macConfigured();
const MacRoot& mac();
// Host path of the application bundle (".../Vantrel.app").
const std::filesystem::path& appBundle();

}  // namespace vantrel::platform

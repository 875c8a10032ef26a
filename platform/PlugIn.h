#pragma once

#include <filesystem>
#include <string>

#include "platform/MacRoot.h"

namespace vantrel::platform {

// Loads `fileName` from the bundle's Contents/PlugIns and answers its entry point `symbol`;
// null when it cannot, with the reason in `whyNot`. A process running as root loads only a
// plug-in that is root's (TrustedPath.h): one that another user could have put there or
// could change runs that user's code as root. The plug-in stays loaded for good.
void* loadPlugIn(const MacRoot& root, const std::filesystem::path& appBundle,
                 const std::string& fileName, const char* symbol, std::string& whyNot);

}  // namespace vantrel::platform

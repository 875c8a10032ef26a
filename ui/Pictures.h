#pragma once

#include <QPixmap>
#include <filesystem>
#include <string>

namespace vantrel {

// Names of the pictures besides the one per release name ("Catalina", "Mojave", "HighSierra").
inline constexpr const char* kProblemPicture = "Problem";
inline constexpr const char* kLogoPicture = "Corvane";

// The picture `name` from the application bundle's resources folder (<folder>/<name>.png);
// empty when there is none, no folder or the name is not a plain file name.
QPixmap picture(const std::filesystem::path& resourcesFolder, const std::string& name);

}  // namespace vantrel

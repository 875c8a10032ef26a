#pragma once

// Mac paths the program's runs leave things at, as the tests look for them.

namespace vantrel::testsupport::macpaths {

inline constexpr const char* kWorkingDir = "/Library/Application Support/com.corvane.vantrel";
inline constexpr const char* kFiledCatalina =
    "/Library/Application Support/com.corvane.vantrel/Install macOS Catalina.app";
inline constexpr const char* kInApplications = "/Applications/Install macOS Catalina.app";
// Root's temporary folder on a simulated Mac, and what a caching run keeps there.
inline constexpr const char* kDownloadFolder = "/private/var/folders/0/T/com.corvane.vantrel";
inline constexpr const char* kResumeStore = "/private/var/folders/0/T/com.corvane.vantrel.resume";
inline constexpr const char* kBaseMount = "/private/var/folders/0/T/com.corvane.vantrel/baseMount";

}  // namespace vantrel::testsupport::macpaths

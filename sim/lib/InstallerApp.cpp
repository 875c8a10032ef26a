#include "sim/lib/InstallerApp.h"

#include <unistd.h>

#include <stdexcept>
#include <system_error>

#include "plist/Plist.h"
#include "sim/lib/CopyTree.h"
#include "sim/lib/DiskImage.h"

namespace vantrel::sim {

namespace fs = std::filesystem;
using plist::Plist;

namespace {

void writeStrings(const fs::path& file,
                  std::initializer_list<std::pair<const char*, std::string>> entries) {
    Plist dict(plist_new_dict());
    for (const auto& [key, value] : entries) {
        plist_dict_set_item(dict.get(), key, plist_new_string(value.c_str()));
    }
    if (!plist::writePlistFile(file, dict.get())) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

// A private folder beside `near`, removed when the builder is done with it.
class ScratchFolder {
  public:
    explicit ScratchFolder(const fs::path& near) {
        std::string pattern = (near / ".vantrel-sim-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            throw std::runtime_error("cannot make a scratch folder in " + near.string());
        }
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

}  // namespace

fs::path standInTool(const std::string& name) {
    return fs::path(VANTREL_STANDINS_DIR) / name;
}

fs::path writeInstallerApp(const fs::path& parentFolder, const InstallerSpec& spec) {
    if (spec.release.empty() || spec.release.find('/') != std::string::npos) {
        throw std::runtime_error("the release name must be a plain name: '" + spec.release + "'");
    }
    const fs::path tool = standInTool("startosinstall");
    if (!fs::is_regular_file(tool)) {
        throw std::runtime_error("the stand-in startosinstall is not built: " + tool.string());
    }
    fs::create_directories(parentFolder);
    const std::string name = "Install macOS " + spec.release + ".app";
    ScratchFolder scratch(parentFolder);

    // The base system the installer would install: just enough to read its build from.
    const fs::path baseSystem = scratch.path() / "BaseSystem";
    fs::create_directories(baseSystem / "System/Library/CoreServices");
    writeStrings(baseSystem / "System/Library/CoreServices/SystemVersion.plist",
                 {{"ProductBuildVersion", spec.build},
                  {"ProductName", "macOS"},
                  {"ProductVersion", spec.version}});

    const fs::path app = scratch.path() / name;
    fs::create_directories(app / "Contents/SharedSupport");
    fs::create_directories(app / "Contents/Resources");
    fs::create_directories(app / "Contents/MacOS");
    writeStrings(app / "Contents/Info.plist",
                 {{"CFBundleIdentifier", "com.apple.InstallAssistant." + spec.release},
                  {"CFBundleDisplayName", "Install macOS " + spec.release},
                  {"CFBundleExecutable", "InstallAssistant"},
                  {"CFBundlePackageType", "APPL"},
                  {"CFBundleShortVersionString", spec.version},
                  {"DTPlatformVersion", spec.version}});
    std::string error;
    if (!writeDiskImage(baseSystem, app / "Contents/SharedSupport/BaseSystem.dmg", &error)) {
        throw std::runtime_error("cannot write the base system image: " + error);
    }
    copyTree(tool, app / "Contents/Resources/startosinstall");

    // Swap the finished bundle in, so a reader never sees half an installer.
    const fs::path target = parentFolder / name;
    std::error_code ec;
    fs::remove_all(target, ec);
    fs::rename(app, target);
    return target;
}

}  // namespace vantrel::sim

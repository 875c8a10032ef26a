#include "sim/lib/SimulatedMac.h"

#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>
#include <system_error>

#include "platform/MacRoot.h"
#include "platform/simmac/SimulatedMac.h"
#include "plist/Plist.h"
#include "sim/lib/CopyTree.h"
#include "sim/lib/InstallerApp.h"

namespace vantrel::sim {

namespace fs = std::filesystem;
using plist::Plist;

namespace {

constexpr const char* kCpuFeatures =
    "FPU VME DE PSE TSC MSR PAE MCE CX8 APIC SEP MTRR PGE MCA CMOV PAT PSE36 CLFSH DS ACPI MMX "
    "FXSR SSE SSE2 SS HTT TM PBE SSE3 PCLMULQDQ DTES64 MON DSCPL VMX EST TM2 SSSE3 FMA CX16 TPR "
    "PDCM SSE4.1 SSE4.2 x2APIC MOVBE POPCNT AES PCID XSAVE OSXSAVE SEGLIM64 TSCTMR AVX1.0 RDRAND "
    "F16C";

void check(bool ok, const std::string& message) {
    if (!ok) {
        throw std::runtime_error(message);
    }
}

void validate(const MacSpec& spec) {
    check(std::regex_match(spec.osVersion, std::regex(R"(\d+\.\d+(\.\d+)?)")),
          "the OS version must look like 10.15 or 10.15.7, not '" + spec.osVersion + "'");
    check(!spec.osBuild.empty(), "the OS build must not be empty");
    check(!spec.boardId.empty(), "the board id must not be empty");
    check(!spec.model.empty(), "the model must not be empty");
    if (spec.catalogServer) {
        check(std::regex_match(*spec.catalogServer, std::regex(R"(https?://[^/\s]+)")),
              "the catalog server must be a scheme, host and optional port such as "
              "https://localhost:8443, not '" +
                  *spec.catalogServer + "'");
    }
    if (spec.trustedCertificate) {
        check(fs::is_regular_file(*spec.trustedCertificate),
              "the certificate file does not exist: " + spec.trustedCertificate->string());
    }
}

// A property of the platform expert device: the text and its NUL, as the firmware gives it.
plist_t firmwareData(const std::string& text) {
    std::string bytes = text;
    bytes.push_back('\0');
    return plist_new_data(bytes.data(), bytes.size());
}

void writePlist(const fs::path& file, plist_t dict) {
    Plist owned(dict);
    check(plist::writePlistFile(file, owned.get()), "cannot write " + file.string());
}

void writeMacFacts(const fs::path& root, const MacSpec& spec) {
    plist_t facts = plist_new_dict();
    plist_t device = plist_new_dict();
    plist_dict_set_item(device, "board-id", firmwareData(spec.boardId));
    plist_dict_set_item(device, "compatible", firmwareData(spec.model));
    plist_dict_set_item(facts, "IOPlatformExpertDevice", device);
    plist_t sysctl = plist_new_dict();
    const std::string features = std::string(kCpuFeatures) + (spec.virtualMachine ? " VMM" : "");
    plist_dict_set_item(sysctl, "machdep.cpu.features", plist_new_string(features.c_str()));
    plist_dict_set_item(facts, "sysctl", sysctl);
    if (spec.consoleUser) {
        plist_dict_set_item(facts, "ConsoleUser", plist_new_string(spec.consoleUser->c_str()));
    }
    if (spec.userName) {
        plist_dict_set_item(facts, "UserName", plist_new_string(spec.userName->c_str()));
    }
    if (spec.catalogServer) {
        plist_dict_set_item(facts, "CatalogServer", plist_new_string(spec.catalogServer->c_str()));
    }
    writePlist(root / std::string(simmac::SimulatedMac::kMarkerFile), facts);
}

// The Mac's own folder: made when missing, and in any case owned by root when root makes the
// Mac and writable by its owner alone, like the root of a Mac's disk.
void makeRoot(const fs::path& root) {
    fs::create_directories(root);
    if (::geteuid() == 0 && ::chown(root.c_str(), 0, 0) != 0) {
        throw std::runtime_error("cannot give " + root.string() + " to root");
    }
    fs::permissions(root, fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

void placeTool(const std::string& tool, const fs::path& destination) {
    const fs::path built = standInTool(tool);
    check(fs::is_regular_file(built), "the stand-in " + tool + " is not built: " + built.string());
    copyTree(built, destination);
}

}  // namespace

fs::path programInMac(const fs::path& root) {
    return platform::MacRoot(root).host(kAppInMac) / "Contents/MacOS/Vantrel";
}

fs::path createSimulatedMac(const fs::path& rootPath, const MacSpec& spec) {
    validate(spec);
    const fs::path root = fs::absolute(rootPath).lexically_normal();
    std::error_code ec;
    if (fs::exists(root, ec)) {
        check(fs::is_directory(root, ec), root.string() + " exists and is not a folder");
        check(fs::is_empty(root, ec), root.string() +
                                          " is not empty; a simulated Mac needs an "
                                          "empty or new folder");
    }
    const fs::path bundle = VANTREL_BUNDLE_DIR;
    check(fs::is_regular_file(bundle / "Contents/MacOS/Vantrel"),
          "Vantrel.app is not built: " + bundle.string());

    makeRoot(root);
    const platform::MacRoot mac(root);
    for (const char* folder :
         {"/Applications", "/Library/Application Support", "/System/Library/CoreServices",
          "/usr/bin", "/usr/sbin", "/usr/local/vantrel", "/private/etc/ssl", "/private/var/log",
          "/private/var/db", "/private/tmp", "/Volumes", "/Users"}) {
        fs::create_directories(mac.host(folder));
    }
    // Everyone's scratch folder, sticky as on every Unix: the one folder others may write.
    fs::permissions(mac.host("/private/tmp"), static_cast<fs::perms>(01777));

    plist_t version = plist_new_dict();
    plist_dict_set_item(version, "ProductName", plist_new_string("Mac OS X"));
    plist_dict_set_item(version, "ProductVersion", plist_new_string(spec.osVersion.c_str()));
    plist_dict_set_item(version, "ProductBuildVersion", plist_new_string(spec.osBuild.c_str()));
    writePlist(mac.host("/System/Library/CoreServices/SystemVersion.plist"), version);

    if (spec.trustedCertificate) {
        copyTree(*spec.trustedCertificate, mac.host("/private/etc/ssl/cert.pem"));
    }
    placeTool("hdiutil", mac.host("/usr/bin/hdiutil"));
    // The package installer stand-in is optional: without it the Mac simply cannot assemble.
    if (fs::is_regular_file(standInTool("installer"))) {
        placeTool("installer", mac.host("/usr/sbin/installer"));
    }
    copyTree(bundle, mac.host(kAppInMac));

    // The marker goes last: a half-made folder is never taken for a Mac.
    writeMacFacts(root, spec);
    return programInMac(root);
}

fs::path findSimulatedMac(const fs::path& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    if (fs::exists(absolute / std::string(simmac::SimulatedMac::kMarkerFile), ec)) {
        return absolute.lexically_normal();
    }
    throw std::runtime_error(path.string() + " is not a simulated Mac (it has no " +
                             std::string(simmac::SimulatedMac::kMarkerFile) +
                             "); make one with 'vantrel-sim create'");
}

}  // namespace vantrel::sim

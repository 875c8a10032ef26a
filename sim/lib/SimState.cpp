#include "sim/lib/SimState.h"

#include <cstdlib>
#include <filesystem>

#include "plist/Plist.h"

namespace vantrel::sim {

namespace fs = std::filesystem;
using plist::Plist;

namespace {

constexpr const char* kStateDir = "/private/var/db/vantrel-sim";
constexpr const char* kStartosinstallFile = "/private/var/db/vantrel-sim/startosinstall.plist";
constexpr const char* kInstallationFile = "/private/var/db/vantrel-sim/installation.plist";

bool ensureStateDir(const platform::MacRoot& root) {
    std::error_code ec;
    fs::create_directories(root.host(kStateDir), ec);
    return !ec;
}

}  // namespace

std::optional<std::string> startosinstallRefusal(const platform::MacRoot& root) {
    Plist state = plist::readPlistFile(root.host(kStartosinstallFile));
    return plist::stringForKey(state.get(), "RefuseMessage");
}

bool setStartosinstallRefusal(const platform::MacRoot& root,
                              const std::optional<std::string>& message) {
    if (!message) {
        std::error_code ec;
        fs::remove(root.host(kStartosinstallFile), ec);
        return !ec;
    }
    if (!ensureStateDir(root)) {
        return false;
    }
    Plist state(plist_new_dict());
    plist_dict_set_item(state.get(), "RefuseMessage", plist_new_string(message->c_str()));
    return plist::writePlistFile(root.host(kStartosinstallFile), state.get());
}

std::string installationRecordPath() {
    return kInstallationFile;
}

bool writeInstallationRecord(const platform::MacRoot& root, const InstallationRecord& record) {
    if (!ensureStateDir(root)) {
        return false;
    }
    Plist dict(plist_new_dict());
    plist_dict_set_item(dict.get(), "Installer", plist_new_string(record.installer.c_str()));
    plist_t arguments = plist_new_array();
    for (const auto& argument : record.arguments) {
        plist_array_append_item(arguments, plist_new_string(argument.c_str()));
    }
    plist_dict_set_item(dict.get(), "Arguments", arguments);
    plist_t environment = plist_new_dict();
    for (const auto& [name, value] : record.environment) {
        plist_dict_set_item(environment, name.c_str(), plist_new_string(value.c_str()));
    }
    plist_dict_set_item(dict.get(), "Environment", environment);
    plist_dict_set_item(dict.get(), "Erase", plist_new_bool(record.erase ? 1 : 0));
    plist_dict_set_item(dict.get(), "ForceQuitApps", plist_new_bool(record.forceQuitApps ? 1 : 0));
    plist_dict_set_item(dict.get(), "PIDToSignal",
                        plist_new_uint(static_cast<std::uint64_t>(record.pidToSignal)));
    plist_dict_set_item(dict.get(), "Signalled", plist_new_bool(record.signalled ? 1 : 0));
    return plist::writePlistFile(root.host(kInstallationFile), dict.get());
}

std::optional<InstallationRecord> readInstallationRecord(const platform::MacRoot& root) {
    Plist dict = plist::readPlistFile(root.host(kInstallationFile));
    if (!dict || plist_get_node_type(dict.get()) != PLIST_DICT) {
        return std::nullopt;
    }
    InstallationRecord record;
    record.installer = plist::stringForKey(dict.get(), "Installer").value_or("");
    plist_t arguments = plist::dictItem(dict.get(), "Arguments");
    if (arguments && plist_get_node_type(arguments) == PLIST_ARRAY) {
        for (std::uint32_t i = 0; i < plist_array_get_size(arguments); ++i) {
            record.arguments.push_back(
                plist::stringValue(plist_array_get_item(arguments, i)).value_or(""));
        }
    }
    plist_t environment = plist::dictItem(dict.get(), "Environment");
    if (environment && plist_get_node_type(environment) == PLIST_DICT) {
        plist::forEachDictItem(environment, [&](const char* key, plist_t value) {
            record.environment.emplace_back(key, plist::stringValue(value).value_or(""));
            return true;
        });
    }
    record.erase = plist::boolValue(plist::dictItem(dict.get(), "Erase")).value_or(false);
    record.forceQuitApps =
        plist::boolValue(plist::dictItem(dict.get(), "ForceQuitApps")).value_or(false);
    if (plist_t pid = plist::dictItem(dict.get(), "PIDToSignal");
        pid && plist_get_node_type(pid) == PLIST_UINT) {
        std::uint64_t value = 0;
        plist_get_uint_val(pid, &value);
        record.pidToSignal = static_cast<long>(value);
    }
    record.signalled = plist::boolValue(plist::dictItem(dict.get(), "Signalled")).value_or(false);
    return record;
}

}  // namespace vantrel::sim

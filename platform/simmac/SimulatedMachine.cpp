#include "platform/simmac/SimulatedMachine.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>

#include "plist/Plist.h"

namespace vantrel::simmac {

namespace {

plist::Plist simulatedMac(const platform::MacRoot& root) {
    return plist::readPlistFile(root.host("/SimulatedMac.plist"));
}

std::int64_t leadingInteger(std::string_view text) {
    std::int64_t value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

}  // namespace

platform::OSVersion SimulatedMachine::operatingSystemVersion() const {
    plist::Plist version =
        plist::readPlistFile(root_.host("/System/Library/CoreServices/SystemVersion.plist"));
    const std::string text = plist::stringForKey(version.get(), "ProductVersion").value_or("");
    platform::OSVersion result;
    std::int64_t* parts[] = {&result.major, &result.minor, &result.patch};
    std::size_t start = 0;
    for (auto* part : parts) {
        if (start > text.size()) {
            break;
        }
        const std::size_t dot = text.find('.', start);
        const std::size_t end = dot == std::string::npos ? text.size() : dot;
        *part = leadingInteger(std::string_view(text).substr(start, end - start));
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    return result;
}

std::optional<std::string> SimulatedMachine::bundleIdentifier() const {
    plist::Plist info = plist::readPlistFile(appBundle_ / "Contents" / "Info.plist");
    auto identifier = plist::stringForKey(info.get(), "CFBundleIdentifier");
    if (!identifier || identifier->empty()) {
        return std::nullopt;
    }
    return identifier;
}

std::string SimulatedMachine::currentUserName() const {
    plist::Plist facts = simulatedMac(root_);
    if (auto name = plist::stringForKey(facts.get(), "UserName"); name && !name->empty()) {
        return *name;
    }
    if (const passwd* entry = ::getpwuid(::geteuid())) {
        return entry->pw_name;
    }
    return std::to_string(::geteuid());
}

std::optional<std::string> SimulatedMachine::consoleUser() const {
    plist::Plist facts = simulatedMac(root_);
    auto user = plist::stringForKey(facts.get(), "ConsoleUser");
    if (!user || user->empty()) {
        return std::nullopt;
    }
    return user;
}

std::string SimulatedMachine::temporaryDirectory() const {
    const std::string path = "/private/var/folders/" + std::to_string(::geteuid()) + "/T/";
    const auto host = root_.host(path);
    std::error_code ec;
    if (!std::filesystem::exists(host, ec)) {
        std::filesystem::create_directories(host, ec);
        ::chmod(host.c_str(), 0700);
    }
    return path;
}

std::vector<std::uint8_t> SimulatedMachine::platformExpertProperty(std::string_view name) const {
    plist::Plist facts = simulatedMac(root_);
    plist_t device = plist::dictItem(facts.get(), "IOPlatformExpertDevice");
    const std::string key(name);
    plist_t value = plist::dictItem(device, key.c_str());
    if (auto data = plist::dataValue(value)) {
        return *data;
    }
    if (auto text = plist::stringValue(value)) {
        return {text->begin(), text->end()};
    }
    return {};
}

std::string SimulatedMachine::sysctlValue(std::string_view name) const {
    plist::Plist facts = simulatedMac(root_);
    const std::string key(name);
    return plist::stringForKey(plist::dictItem(facts.get(), "sysctl"), key.c_str()).value_or("");
}

std::string SimulatedMachine::catalogServer() const {
    plist::Plist facts = simulatedMac(root_);
    return plist::stringForKey(facts.get(), "CatalogServer").value_or("https://swscan.localhost");
}

std::filesystem::path SimulatedMachine::trustedCertificates() const {
    return root_.host("/private/etc/ssl/cert.pem");
}

}  // namespace vantrel::simmac

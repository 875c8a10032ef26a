#include "tests/support/InProcessMac.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace vantrel::testsupport {

namespace {
struct InUse {
    std::optional<platform::Services> services;
    net::NetworkPlugIn* network = nullptr;
};
InUse& inUse() {
    static InUse mac;
    return mac;
}
}  // namespace

void useInProcessMac(const platform::Services& services, net::NetworkPlugIn& network) {
    inUse().services.emplace(services);
    inUse().network = &network;
}

void forgetInProcessMac(const platform::Services& services) {
    if (inUse().services && &inUse().services->root == &services.root) {
        inUse().services.reset();
        inUse().network = nullptr;
    }
}

const platform::Services& inProcessServices() {
    if (!inUse().services) {
        std::fputs("no simulated Mac is in use in this process\n", stderr);
        std::abort();
    }
    return *inUse().services;
}

net::NetworkPlugIn& inProcessNetwork() {
    inProcessServices();
    return *inUse().network;
}

net::DownloadSession::Configuration downloadConfiguration(
    net::NetworkLimits limits, std::chrono::milliseconds progressInterval,
    std::optional<std::filesystem::path> trustFile) {
    net::DownloadSession::Configuration configuration;
    configuration.network = &inProcessNetwork();
    configuration.root = inProcessServices().root;
    configuration.trustedCertificates =
        trustFile.value_or(inProcessServices().machine.trustedCertificates());
    configuration.clock = &inProcessServices().clock;
    configuration.limits = limits;
    configuration.progressInterval = progressInterval;
    return configuration;
}

net::HttpClient documentClient(net::NetworkLimits limits,
                               std::optional<std::filesystem::path> trustFile) {
    return net::HttpClient(inProcessNetwork(),
                           trustFile.value_or(inProcessServices().machine.trustedCertificates()),
                           limits);
}

}  // namespace vantrel::testsupport

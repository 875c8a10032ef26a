// The catalog read as the caching run does it (fetch, then its installer products read one
// product at a time), and product selection over the candidates it yields, repeated on a warm
// connection.

#include <time.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <stdexcept>

#include "bench/DriverModes.h"
#include "bench/DriverSupport.h"
#include "caching/Catalog.h"
#include "caching/ProductSelection.h"
#include "net/Http.h"
#include "platform/Machine.h"

namespace vantrel::bench {

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of the calling thread, in seconds: the work of a step apart from waiting.
double threadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string catalogAddress() {
    const auto path = catalogURL(services().machine.operatingSystemVersion().minor);
    if (!path) {
        throw std::runtime_error("the simulated Mac runs a system without a catalog");
    }
    return services().machine.catalogServer() + *path;
}

// The catalog's "no" lines go where the program's go.
std::function<void(std::string_view)> printTo(platform::Console& console) {
    return [&console](std::string_view line) { console.printLine(line); };
}

}  // namespace

int runCatalog(const RepeatOptions& options) {
    useSimulatedMac(options.mac);
    std::vector<double> totals;
    std::vector<double> totalsCPU;
    std::size_t candidates = 0;
    for (int i = 0; i < options.repeat; ++i) {
        const auto start = Clock::now();
        const double startCPU = threadSeconds();
        const CatalogResult result =
            fetchInstallerProducts(services().machine, documents(), printTo(services().console));
        totals.push_back(secondsSince(start));
        totalsCPU.push_back(threadSeconds() - startCPU);
        if (!result.candidates) {
            throw std::runtime_error(result.failure);
        }
        candidates = result.candidates->size();
    }
    // Taken before the steps below, which also parse the catalog whole for comparison.
    const long peak = peakResidentBytes();

    // The steps one by one, to tell where the time goes: the fetch, the reading the program
    // does (walk, one product's parse at a time, filter), and for comparison the library's
    // parse of the whole document with the filter over its tree.
    std::vector<double> fetches, pieceFetches, reads, treeReads, fetchesCPU, readsCPU;
    std::size_t bytes = 0;
    std::uint32_t products = 0;
    const std::string url = catalogAddress();
    for (int i = 0; i < options.repeat; ++i) {
        auto start = Clock::now();
        double startCPU = threadSeconds();
        platform::Error error;
        const auto body = documents().fetch(url, &error);
        fetches.push_back(secondsSince(start));
        fetchesCPU.push_back(threadSeconds() - startCPU);
        if (!body) {
            throw std::runtime_error(error.description);
        }
        bytes = body->size();
        // The fetch alone, the body handed over as it arrives and dropped.
        start = Clock::now();
        if (!documents().fetchPieces(
                url, [](std::string_view) { return true; }, &error)) {
            throw std::runtime_error(error.description);
        }
        pieceFetches.push_back(secondsSince(start));
        start = Clock::now();
        startCPU = threadSeconds();
        const CatalogReading reading = readCatalog(*body, [](std::string_view) {});
        reads.push_back(secondsSince(start));
        readsCPU.push_back(threadSeconds() - startCPU);
        // The library's own parse, without the program's bounds (a large catalog passes the
        // bound on one tree's values).
        start = Clock::now();
        plist_t whole = nullptr;
        plist_from_memory(body->data(), static_cast<std::uint32_t>(body->size()), &whole);
        const plist::Plist catalog(whole);
        plist_t all = plist::dictItem(catalog.get(), "Products");
        const CandidateSet tree = filterInstallerProducts(all, [](std::string_view) {});
        treeReads.push_back(secondsSince(start));
        products = all ? plist_dict_get_size(all) : 0;
    }
    Result()
        .number("seconds", median(totals))
        .numbers("all_seconds", totals)
        .number("cpu_seconds", median(totalsCPU))
        .number("fetch_seconds", median(fetches))
        .number("fetch_cpu_seconds", median(fetchesCPU))
        .number("read_cpu_seconds", median(readsCPU))
        .number("piece_fetch_seconds", median(pieceFetches))
        .number("read_seconds", median(reads))
        .number("tree_read_seconds", median(treeReads))
        .number("catalog_bytes", static_cast<double>(bytes))
        .number("products", products)
        .number("candidates", static_cast<double>(candidates))
        .number("peak_rss", static_cast<double>(peak))
        .write(options.result);
    return 0;
}

int runSelection(const RepeatOptions& options) {
    useSimulatedMac(options.mac);
    std::vector<double> times;
    std::vector<double> fetchTimes;
    std::size_t candidates = 0;
    std::size_t selected = 0;
    std::size_t documents = 0;
    std::size_t skipLines = 0;
    for (int i = 0; i < options.repeat; ++i) {
        // Each run as the program makes it: a new client whose one connection the catalog
        // fetch opened, so nothing a run leaves warm is lent to the next.
        net::HttpClient http(network(), bench::services().machine.trustedCertificates());
        const CatalogResult catalog = fetchInstallerProducts(bench::services().machine, http,
                                                             printTo(bench::services().console));
        if (!catalog.candidates) {
            throw std::runtime_error(catalog.failure);
        }
        SelectionServices services = platformSelectionServices(bench::services(), network(), http);
        std::vector<std::string> fetched;
        double fetching = 0;  // time spent in the fetches alone
        const auto fetch = services.fetchDocument;
        services.fetchDocument = [&](const std::string& url, std::string* failure) {
            fetched.push_back(url);
            const auto start = Clock::now();
            auto document = fetch(url, failure);
            fetching += secondsSince(start);
            return document;
        };
        std::vector<std::string> skipped;
        services.printLine = [&](std::string_view line) { skipped.emplace_back(line); };
        const SelectionRequest request{options.osName, std::nullopt};

        const auto start = Clock::now();
        selected = selectProductURLs(*catalog.candidates, request, services).size();
        times.push_back(secondsSince(start));
        fetchTimes.push_back(fetching);
        documents = fetched.size();
        candidates = catalog.candidates->size();
        skipLines = skipped.size();
        if (i == 0 && !options.urlsOut.empty()) {
            std::ofstream out(options.urlsOut, std::ios::trunc);
            for (const auto& url : fetched) {
                out << url << "\n";
            }
        }
    }
    Result()
        .number("seconds", median(times))
        .numbers("all_seconds", times)
        .number("fetch_seconds", median(fetchTimes))
        .number("candidates", static_cast<double>(candidates))
        .number("documents", static_cast<double>(documents))
        .number("selected_urls", static_cast<double>(selected))
        .number("skip_lines", static_cast<double>(skipLines))
        .write(options.result);
    return 0;
}

}  // namespace vantrel::bench

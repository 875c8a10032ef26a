// Micro-benchmarks of the program's hot paths without a network or a server, for profiling
// them with perf or callgrind: the catalog's reading (parse and installer filter) on a catalog made
// by the mirror generator, and the combined download percentage computed for each progress report.
// Not part of bench/run.sh, whose figures are the whole phases beside their peers.
//
//   build-bench/bin/vantrel-micro-bench [--benchmark_filter=Catalog]

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "caching/Catalog.h"
#include "caching/DownloadProgress.h"
#include "plist/Plist.h"
#include "sim/lib/MirrorBuilder.h"

namespace {

namespace fs = std::filesystem;

// The 10.15 catalog of a mirror of `products` products in about `bytes`, made once per size.
const std::string& catalogText(int products, std::uint64_t bytes) {
    static std::map<int, std::string> made;
    auto& text = made[products];
    if (!text.empty()) {
        return text;
    }
    std::string pattern = (fs::temp_directory_path() / "vantrel-micro-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    vantrel::sim::MirrorSpec spec;
    spec.fillerProducts = products;
    spec.catalogBytes = bytes;
    std::ostringstream quiet;
    vantrel::sim::buildMirror(pattern, spec, quiet);
    for (const auto& entry :
         fs::directory_iterator(fs::path(pattern) / "content/catalogs/others")) {
        if (entry.path().filename().string().rfind("index-10.15-", 0) == 0) {
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            text = content.str();
        }
    }
    fs::remove_all(pattern);
    return text;
}

// The catalog as the program reads it (one product at a time) and, for comparison, as the
// library's parse of the whole document followed by the filter over its tree.
template <auto Reader>
void CatalogRead(benchmark::State& state) {
    const std::string& text =
        catalogText(static_cast<int>(state.range(0)), static_cast<std::uint64_t>(state.range(1)));
    std::size_t candidates = 0;
    for (auto _ : state) {
        const vantrel::CatalogReading reading = Reader(text, [](std::string_view) {});
        candidates = reading.candidates.size();
        benchmark::DoNotOptimize(candidates);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["candidates"] = static_cast<double>(candidates);
}
BENCHMARK(CatalogRead<vantrel::readCatalog>)
    ->Name("CatalogReadByProduct")
    ->Args({2000, 7 << 20})
    ->Args({6000, 12 << 20})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(CatalogRead<vantrel::readCatalogTree>)
    ->Name("CatalogReadWhole")
    ->Args({2000, 7 << 20})
    ->Args({6000, 12 << 20})
    ->Unit(benchmark::kMillisecond);

// What each progress report costs: the sums over every task's record, the formatting and the
// reading back, for the number of transfers in flight.
void ProgressPercentage(benchmark::State& state) {
    std::map<std::uint64_t, vantrel::ProgressRecord> records;
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        records[static_cast<std::uint64_t>(i)] = {i * 1000003, 1073741824};
    }
    for (auto _ : state) {
        records[0].written += 16384;
        benchmark::DoNotOptimize(vantrel::reportedPercentage(vantrel::combinedPercentage(records)));
    }
}
BENCHMARK(ProgressPercentage)->Arg(1)->Arg(11)->Arg(17);

}  // namespace

BENCHMARK_MAIN();

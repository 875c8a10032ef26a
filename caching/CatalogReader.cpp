// The catalog's installer products, from the streaming reader of plist/: each product that
// may be an installer is classified as it ends and its tree kept only when it is one.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "caching/Catalog.h"
#include "plist/CatalogProducts.h"
#include "plist/PlistLimits.h"

namespace vantrel {

namespace {

// Every product key is kept once, for its place among the candidates (about 100 bytes
// besides its text): ten times the products of today's largest catalogs.
constexpr std::size_t kMaxCatalogProducts = 200'000;

// The products of the "Products" dictionary read so far. A key met again keeps its first
// place and takes the later value, as the library's dictionary does. The trees kept hold at
// most the values one property list may hold.
class ProductTable final : public plist::CatalogProductSink {
  public:
    void productsBegin() override {
        entries_.clear();
        places_.clear();
        keptValues_ = 0;
    }

    bool otherProduct(std::string_view key) override {
        return set(key, ProductKind::Other, nullptr, 0);
    }

    bool possibleInstaller(std::string_view key, plist::Plist product,
                           std::size_t values) override {
        const ProductKind kind = classifyProduct(product.get());
        if (kind != ProductKind::Installer) {
            return set(key, kind, nullptr, 0);
        }
        return set(key, kind, std::move(product), values);
    }

    CandidateSet candidates(const std::function<void(std::string_view)>& printLine) {
        CandidateSet out;
        for (auto& entry : entries_) {
            if (entry.kind == ProductKind::NoOSInstall) {
                printLine("no");
            } else if (entry.kind == ProductKind::Installer) {
                out.push_back({std::move(entry.key), std::move(entry.product)});
            }
        }
        return out;
    }

  private:
    struct Entry {
        std::string key;
        ProductKind kind;
        plist::Plist product;  // kept for candidates only
        std::size_t values = 0;
    };

    // False when the table is full or would keep too many values: the catalog is then refused.
    bool set(std::string_view key, ProductKind kind, plist::Plist product, std::size_t values) {
        keptValues_ += values;
        if (keptValues_ > plist::kMaxPlistValues) {
            return false;
        }
        const auto place = places_.find(key);
        if (place != places_.end()) {
            Entry& entry = entries_[place->second];
            keptValues_ -= entry.values;
            entry.kind = kind;
            entry.product = std::move(product);
            entry.values = values;
            return true;
        }
        if (entries_.size() == kMaxCatalogProducts) {
            return false;
        }
        entries_.push_back({std::string(key), kind, std::move(product), values});
        places_.emplace(entries_.back().key, entries_.size() - 1);
        return true;
    }

    std::deque<Entry> entries_;  // which never moves an entry: places_ names their keys
    std::unordered_map<std::string_view, std::size_t> places_;
    std::size_t keptValues_ = 0;
};

CatalogReading readingOf(plist::CatalogShape shape, ProductTable& table,
                         const std::function<void(std::string_view)>& printLine) {
    CatalogReading out;
    switch (shape) {
        case plist::CatalogShape::NotADictionary:
            break;
        case plist::CatalogShape::NoProductsDictionary:
            out.outcome = CatalogReading::Outcome::NoProductsDictionary;
            break;
        case plist::CatalogShape::Products:
            out.outcome = CatalogReading::Outcome::Candidates;
            out.candidates = table.candidates(printLine);
            break;
    }
    return out;
}

}  // namespace

// The reading runs on a thread of its own, so that parsing one piece overlaps receiving (and
// deciphering) the next: the parse is most of a catalog's time. Pieces wait in a queue; the
// transfer hands on at most kMaxDocumentBytes, which bounds it.
struct CatalogStreamReader::State {
    ProductTable table;
    plist::CatalogProductReader reader{table};

    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::string> pieces;  // under `lock`
    bool ended = false;              // under `lock`: no more pieces come
    std::atomic<bool> refused{false};
    std::string gathering;  // the transfer's thread's: small pieces gathered into one
    std::thread worker;

    void read() {
        while (true) {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [this] { return ended || !pieces.empty(); });
            if (pieces.empty()) {
                return;
            }
            const std::string piece = std::move(pieces.front());
            pieces.pop_front();
            guard.unlock();
            if (!reader.append(piece)) {
                refused = true;
                std::lock_guard<std::mutex> drop(lock);
                pieces.clear();
                return;
            }
        }
    }

    void hand(std::string piece) {
        {
            std::lock_guard<std::mutex> guard(lock);
            pieces.push_back(std::move(piece));
        }
        changed.notify_one();
    }

    // Ends the worker, once it has read every piece handed to it.
    void end() {
        if (!worker.joinable()) {
            return;
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            ended = true;
        }
        changed.notify_one();
        worker.join();
    }
};

CatalogStreamReader::CatalogStreamReader() : state_(std::make_unique<State>()) {
    state_->worker = std::thread([state = state_.get()] { state->read(); });
}

CatalogStreamReader::~CatalogStreamReader() {
    // Not finished: what waits is not read.
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->pieces.clear();
    }
    state_->end();
}

bool CatalogStreamReader::append(std::string_view bytes) {
    State& state = *state_;
    if (state.refused) {
        return false;
    }
    // A transfer hands on a few KiB at a time; the queue takes them by the 64 KiB.
    constexpr std::size_t kGathered = 64 * 1024;
    state.gathering.append(bytes);
    if (state.gathering.size() >= kGathered) {
        state.hand(std::exchange(state.gathering, std::string()));
    }
    return true;
}

CatalogReading CatalogStreamReader::finish(const std::function<void(std::string_view)>& printLine) {
    State& state = *state_;
    if (!state.gathering.empty() && !state.refused) {
        state.hand(std::exchange(state.gathering, std::string()));
    }
    state.end();
    if (state.refused) {
        return {};
    }
    return readingOf(state.reader.finish(), state.table, printLine);
}

CatalogReading readCatalog(std::string_view body,
                           const std::function<void(std::string_view)>& printLine) {
    ProductTable table;
    return readingOf(plist::readCatalogProducts(body, table), table, printLine);
}

}  // namespace vantrel

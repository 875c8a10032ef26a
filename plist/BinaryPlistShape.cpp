#include "plist/BinaryPlistShape.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace vantrel::plist {

namespace {

constexpr std::size_t kHeaderBytes = 8;  // "bplist00"
constexpr std::size_t kTrailerBytes = 32;

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b, std::uint64_t cap) {
    return std::min(cap, a + std::min(b, cap));  // both are at most cap: no wrap
}

// One object as the table describes it: its children's references and its own text bytes.
struct ObjectShape {
    std::size_t refsAt = 0;      // where its references start
    std::uint64_t refCount = 0;  // keys and values of a dictionary both count
    std::uint64_t textBytes = 0;
};

// What one object expands to, once measured.
struct Expanded {
    std::uint64_t depth = 0;
    std::uint64_t values = 0;
    std::uint64_t textBytes = 0;
};

class Measure {
  public:
    Measure(std::string_view bytes, std::size_t maxDepth, std::size_t maxValues,
            std::uint64_t maxTextBytes)
        : bytes_(bytes), maxDepth_(maxDepth), maxValues_(maxValues), maxText_(maxTextBytes) {}

    bool run();

  private:
    enum class State : std::uint8_t { New, Open, Done };

    struct Frame {
        std::uint64_t object;
        ObjectShape shape;
        std::uint64_t next = 0;  // the next reference to follow
        Expanded sum;
    };

    std::optional<std::uint64_t> bigEndian(std::size_t at, std::size_t width) const {
        if (width == 0 || width > 8 || at > bytes_.size() || bytes_.size() - at < width) {
            return std::nullopt;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value = (value << 8) | static_cast<unsigned char>(bytes_[at + i]);
        }
        return value;
    }

    std::optional<ObjectShape> shapeOf(std::uint64_t object) const;
    std::optional<std::uint64_t> reference(const Frame& frame, std::uint64_t index) const {
        return bigEndian(frame.shape.refsAt + index * refSize_, refSize_);
    }
    Expanded finish(const Frame& frame) const;

    std::string_view bytes_;
    std::size_t maxDepth_;
    std::size_t maxValues_;
    std::uint64_t maxText_;
    std::size_t offsetSize_ = 0;
    std::size_t refSize_ = 0;
    std::uint64_t objects_ = 0;
    std::size_t tableAt_ = 0;
    std::vector<State> states_;
    std::vector<Expanded> expanded_;
};

// The marker's count: its low four bits, or an integer object right after it.
std::optional<ObjectShape> Measure::shapeOf(std::uint64_t object) const {
    const auto offset = bigEndian(tableAt_ + object * offsetSize_, offsetSize_);
    if (!offset || *offset < kHeaderBytes || *offset >= tableAt_) {
        return std::nullopt;
    }
    const auto at = static_cast<std::size_t>(*offset);
    const auto marker = static_cast<unsigned char>(bytes_[at]);
    const unsigned kind = marker >> 4;
    const unsigned low = marker & 0x0F;
    if (kind == 0x0 || kind == 0x1 || kind == 0x2 || kind == 0x3 || kind == 0x8) {
        return ObjectShape{};  // null, booleans, numbers, dates, UIDs
    }
    std::uint64_t count = low;
    std::size_t contentAt = at + 1;
    if (low == 0x0F) {
        if (contentAt >= tableAt_) {
            return std::nullopt;
        }
        const auto sizeMarker = static_cast<unsigned char>(bytes_[contentAt]);
        if ((sizeMarker >> 4) != 0x1 || (sizeMarker & 0x0F) > 3) {
            return std::nullopt;
        }
        const std::size_t width = std::size_t{1} << (sizeMarker & 0x0F);
        const auto value = bigEndian(contentAt + 1, width);
        if (!value) {
            return std::nullopt;
        }
        count = *value;
        contentAt += 1 + width;
    }
    const std::uint64_t room = contentAt <= tableAt_ ? tableAt_ - contentAt : 0;
    ObjectShape shape;
    switch (kind) {
        case 0x4:  // data
        case 0x5:  // ASCII text
        case 0x7:  // UTF-8 text
            if (count > room) {
                return std::nullopt;
            }
            shape.textBytes = count;
            return shape;
        case 0x6:  // UTF-16 text: up to three UTF-8 bytes for each unit
            if (count > room / 2) {
                return std::nullopt;
            }
            shape.textBytes = count * 3;
            return shape;
        case 0xA:  // array
        case 0xC:  // set
            break;
        case 0xD:  // dictionary: its keys' references, then its values'
            if (count > room / 2) {
                return std::nullopt;
            }
            count *= 2;
            break;
        default:
            return std::nullopt;
    }
    if (count > room / refSize_) {
        return std::nullopt;
    }
    shape.refsAt = contentAt;
    shape.refCount = count;
    return shape;
}

Expanded Measure::finish(const Frame& frame) const {
    Expanded out = frame.sum;
    out.depth += 1;
    out.values = saturatingAdd(out.values, 1, maxValues_ + 1);
    out.textBytes = saturatingAdd(out.textBytes, frame.shape.textBytes, maxText_ + 1);
    return out;
}

bool Measure::run() {
    if (bytes_.size() < kHeaderBytes + kTrailerBytes) {
        return false;
    }
    const std::size_t trailer = bytes_.size() - kTrailerBytes;
    offsetSize_ = static_cast<unsigned char>(bytes_[trailer + 6]);
    refSize_ = static_cast<unsigned char>(bytes_[trailer + 7]);
    const auto objects = bigEndian(trailer + 8, 8);
    const auto top = bigEndian(trailer + 16, 8);
    const auto table = bigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8 || !objects || !top ||
        !table || *objects == 0 || *objects > maxValues_ || *top >= *objects ||
        *table < kHeaderBytes || *table > trailer || *objects > (trailer - *table) / offsetSize_) {
        return false;
    }
    objects_ = *objects;
    tableAt_ = static_cast<std::size_t>(*table);
    states_.assign(objects_, State::New);
    expanded_.assign(objects_, Expanded{});

    // Depth-first from the top object with a stack of our own; an object met again while it
    // is still open is a cycle.
    std::vector<Frame> stack;
    const auto topShape = shapeOf(*top);
    if (!topShape) {
        return false;
    }
    stack.push_back({*top, *topShape, 0, {}});
    states_[*top] = State::Open;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.shape.refCount) {
            const Expanded done = finish(frame);
            states_[frame.object] = State::Done;
            expanded_[frame.object] = done;
            stack.pop_back();
            if (!stack.empty()) {
                Expanded& sum = stack.back().sum;
                sum.depth = std::max(sum.depth, done.depth);
                sum.values = saturatingAdd(sum.values, done.values, maxValues_ + 1);
                sum.textBytes = saturatingAdd(sum.textBytes, done.textBytes, maxText_ + 1);
                if (sum.values > maxValues_ || sum.textBytes > maxText_) {
                    return false;
                }
            }
            continue;
        }
        const auto child = reference(frame, frame.next++);
        if (!child || *child >= objects_ || states_[*child] == State::Open) {
            return false;
        }
        if (states_[*child] == State::Done) {
            const Expanded& done = expanded_[*child];
            frame.sum.depth = std::max(frame.sum.depth, done.depth);
            frame.sum.values = saturatingAdd(frame.sum.values, done.values, maxValues_ + 1);
            frame.sum.textBytes = saturatingAdd(frame.sum.textBytes, done.textBytes, maxText_ + 1);
            if (frame.sum.values > maxValues_ || frame.sum.textBytes > maxText_) {
                return false;
            }
            continue;
        }
        const auto shape = shapeOf(*child);
        if (!shape || stack.size() >= maxDepth_) {
            return false;
        }
        states_[*child] = State::Open;
        stack.push_back({*child, *shape, 0, {}});  // `frame` is not used past this point
    }
    const Expanded& root = expanded_[*top];
    return root.values <= maxValues_ && root.textBytes <= maxText_;
}

}  // namespace

bool binaryPlistWithinLimits(std::string_view bytes, std::size_t maxDepth, std::size_t maxValues,
                             std::uint64_t maxTextBytes) {
    return Measure(bytes, maxDepth, maxValues, maxTextBytes).run();
}

}  // namespace vantrel::plist

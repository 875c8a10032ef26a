#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::net {

// A digest computed while bytes stream past, so a package is never read a second time to be
// checked. The catalog's digests are lower-case or upper-case hex: 40 digits for SHA-1 (what
// the vendor's catalogs hold), 64 for SHA-256.
class ContentDigest {
  public:
    enum class Algorithm { SHA1, SHA256 };

    // The algorithm whose hex digest `hex` is; absent for any other text.
    static std::optional<Algorithm> algorithmOf(std::string_view hex);

    explicit ContentDigest(Algorithm algorithm);
    ~ContentDigest();
    ContentDigest(const ContentDigest&) = delete;
    ContentDigest& operator=(const ContentDigest&) = delete;

    void update(std::string_view bytes);
    // Starts over, as for no bytes.
    void reset();
    // Lower-case hex of the bytes so far; the digest goes on taking bytes after it.
    std::string hex() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Lower-case hex of `bytes`' SHA-1.
std::string sha1Hex(std::string_view bytes);

// `hex` in lower case.
std::string lowerHex(std::string_view hex);

}  // namespace vantrel::net

#include "net/ContentDigest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace vantrel::net {

struct ContentDigest::State {
    const EVP_MD* type = nullptr;
    EVP_MD_CTX* context = nullptr;
};

std::optional<ContentDigest::Algorithm> ContentDigest::algorithmOf(std::string_view hex) {
    if (!std::all_of(hex.begin(), hex.end(),
                     [](unsigned char c) { return std::isxdigit(c) != 0; })) {
        return std::nullopt;
    }
    if (hex.size() == 40) {
        return Algorithm::SHA1;
    }
    if (hex.size() == 64) {
        return Algorithm::SHA256;
    }
    return std::nullopt;
}

ContentDigest::ContentDigest(Algorithm algorithm) : state_(std::make_unique<State>()) {
    state_->type = algorithm == Algorithm::SHA1 ? EVP_sha1() : EVP_sha256();
    state_->context = EVP_MD_CTX_new();
    if (!state_->context) {
        throw std::bad_alloc();
    }
    reset();
}

ContentDigest::~ContentDigest() {
    EVP_MD_CTX_free(state_->context);
}

void ContentDigest::update(std::string_view bytes) {
    EVP_DigestUpdate(state_->context, bytes.data(), bytes.size());
}

void ContentDigest::reset() {
    EVP_DigestInit_ex(state_->context, state_->type, nullptr);
}

std::string ContentDigest::hex() const {
    // The running context stays as it is: the digest is taken from a copy.
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool done = copy && EVP_MD_CTX_copy_ex(copy, state_->context) == 1 &&
                      EVP_DigestFinal_ex(copy, value, &length) == 1;
    EVP_MD_CTX_free(copy);
    if (!done) {
        return std::string();
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(digits[value[i] >> 4]);
        text.push_back(digits[value[i] & 0xF]);
    }
    return text;
}

std::string sha1Hex(std::string_view bytes) {
    ContentDigest digest(ContentDigest::Algorithm::SHA1);
    digest.update(bytes);
    return digest.hex();
}

std::string lowerHex(std::string_view hex) {
    std::string text(hex);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace vantrel::net

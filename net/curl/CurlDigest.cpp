// The plug-in's digests: OpenSSL's, with the processor's SHA instructions where it has them.
#include <openssl/evp.h>

#include <new>

#include "net/curl/CurlNetwork.h"

namespace vantrel::net {

namespace {

class EvpDigest final : public Digest {
  public:
    explicit EvpDigest(Algorithm algorithm)
        : type_(algorithm == Algorithm::SHA1 ? EVP_sha1() : EVP_sha256()),
          context_(EVP_MD_CTX_new()) {
        if (!context_) {
            throw std::bad_alloc();
        }
        reset();
    }
    ~EvpDigest() override { EVP_MD_CTX_free(context_); }
    EvpDigest(const EvpDigest&) = delete;
    EvpDigest& operator=(const EvpDigest&) = delete;

    void update(std::string_view bytes) override {
        EVP_DigestUpdate(context_, bytes.data(), bytes.size());
    }
    void reset() override { EVP_DigestInit_ex(context_, type_, nullptr); }
    std::string hex() const override {
        // The running context stays as it is: the digest is taken from a copy.
        EVP_MD_CTX* copy = EVP_MD_CTX_new();
        unsigned char value[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        const bool done = copy && EVP_MD_CTX_copy_ex(copy, context_) == 1 &&
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

  private:
    const EVP_MD* type_;
    EVP_MD_CTX* context_;
};

}  // namespace

std::unique_ptr<Digest> makeEvpDigest(Digest::Algorithm algorithm) {
    return std::make_unique<EvpDigest>(algorithm);
}

}  // namespace vantrel::net

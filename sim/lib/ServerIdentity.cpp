#include "sim/lib/ServerIdentity.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vantrel::sim {

namespace fs = std::filesystem;

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("cannot make the server's certificate: " + what);
}

void addExtension(X509* certificate, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension) {
        fail(std::string("extension ") + value);
    }
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(length));
}

void writeFile(const fs::path& file, const std::string& text, mode_t mode) {
    const fs::path temporary = file.string() + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    bool ok = fd >= 0 && ::fchmod(fd, mode) == 0 &&
              ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) {
        ok = ::close(fd) == 0 && ok;
    }
    if (!ok || std::rename(temporary.c_str(), file.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + file.string());
    }
}

}  // namespace

ServerIdentity makeServerIdentity() {
    ServerIdentity identity;
    identity.key.reset(EVP_EC_gen("P-256"));
    if (!identity.key) {
        fail("no key");
    }
    identity.certificate.reset(X509_new());
    X509* certificate = identity.certificate.get();
    X509_set_version(certificate, 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof(serial));
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof(serial), nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 10L * 365 * 24 * 3600);
    X509_set_pubkey(certificate, identity.key.get());
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("vantrel-sim"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    addExtension(certificate, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate, NID_key_usage, "critical,digitalSignature,keyCertSign");
    addExtension(certificate, NID_ext_key_usage, "serverAuth");
    addExtension(certificate, NID_subject_key_identifier, "hash");
    addExtension(certificate, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
    if (X509_sign(certificate, identity.key.get(), EVP_sha256()) == 0) {
        fail("signing failed");
    }
    return identity;
}

void saveServerIdentity(const ServerIdentity& identity, const fs::path& file) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!PEM_write_bio_PrivateKey(bio.get(), identity.key.get(), nullptr, nullptr, 0, nullptr,
                                  nullptr) ||
        !PEM_write_bio_X509(bio.get(), identity.certificate.get())) {
        throw std::runtime_error("cannot encode the server's identity");
    }
    writeFile(file, bioText(bio.get()), 0600);
}

ServerIdentity loadServerIdentity(const fs::path& file) {
    ServerIdentity identity;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return identity;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const std::string pem = text.str();
    Bio keyBio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    identity.key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    Bio certificateBio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    identity.certificate.reset(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    const bool usable =
        identity.key && identity.certificate &&
        X509_check_private_key(identity.certificate.get(), identity.key.get()) == 1 &&
        X509_cmp_current_time(X509_get0_notAfter(identity.certificate.get())) > 0;
    if (!usable) {
        return {};
    }
    return identity;
}

std::string certificatePem(const ServerIdentity& identity) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!PEM_write_bio_X509(bio.get(), identity.certificate.get())) {
        throw std::runtime_error("cannot encode the server's certificate");
    }
    return bioText(bio.get());
}

void writeCertificatePem(const ServerIdentity& identity, const fs::path& file) {
    writeFile(file, certificatePem(identity), 0644);
}

}  // namespace vantrel::sim

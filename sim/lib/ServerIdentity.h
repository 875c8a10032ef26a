#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <string>

namespace vantrel::sim {

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// The server's TLS identity: a private key and a self-signed certificate for "localhost",
// 127.0.0.1 and ::1, which a client trusts by taking the certificate as its only anchor.
struct ServerIdentity {
    std::unique_ptr<X509, X509Free> certificate;
    std::unique_ptr<EVP_PKEY, KeyFree> key;
};

// A new P-256 key and a certificate valid from an hour ago for ten years. Throws
// std::runtime_error.
ServerIdentity makeServerIdentity();

// Key and certificate in one PEM file (mode 0600), so a server keeps its identity across runs
// and clients that trust it keep working. Loading answers an empty identity when the file is
// missing or unreadable.
void saveServerIdentity(const ServerIdentity& identity, const std::filesystem::path& file);
ServerIdentity loadServerIdentity(const std::filesystem::path& file);

// The certificate alone, as PEM (written through a temporary file and a rename).
std::string certificatePem(const ServerIdentity& identity);
void writeCertificatePem(const ServerIdentity& identity, const std::filesystem::path& file);

}  // namespace vantrel::sim

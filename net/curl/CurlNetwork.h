#pragma once

#include <memory>

#include "net/NetworkLibrary.h"

// The network plug-in's parts: the program's network interfaces over libcurl and OpenSSL.
namespace vantrel::net {

std::unique_ptr<net::DocumentFetcher> makeCurlDocumentFetcher();
std::unique_ptr<net::TransferGroup> makeCurlTransferGroup();
std::unique_ptr<net::Digest> makeEvpDigest(net::Digest::Algorithm algorithm);

}  // namespace vantrel::net
